#include "converter/Rw_ini.h"

#include "platform/os/KnownFolders.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

TSettings Settings;

std::string ExeFolder() { return rtl::ExtractFilePath(rtl::ExecutableFileName()); }

namespace {

// The executable's name without its extension: "tarnwick".
std::string ProgramName() { return rtl::ChangeFileExt(rtl::ExtractFileName(rtl::ExecutableFileName()), ""); }

// The setup utility asks the same question with the same name, so the
// launch settings it writes are the ones read here.
os::TProgramFolders Folders() { return os::ProgramFolders(ExeFolder(), ProgramName()); }

}  // namespace

std::string SettingsFolder() { return Folders().Settings; }

std::string WorkFolder() { return Folders().Work; }

std::string IniFileName() { return SettingsFolder() + ProgramName() + ".ini"; }

std::string LogFileName() { return SettingsFolder() + ProgramName() + ".log"; }

void LoadSettings() {
  rtl::TIniFile ini(IniFileName());
  Settings.Top = ini.ReadInteger("Pos", "Top", 0);
  Settings.Left = ini.ReadInteger("Pos", "Left", 0);
  Settings.DoLaunch = ini.ReadInteger("App", "DoLaunch", 0);
  Settings.Launch = ini.ReadString("App", "Launch", "");
  Settings.DD = ini.ReadInteger("Mode", "DD", 0);
  Settings.ORG = ini.ReadInteger("NoDel", "ORG", 0);
  Settings.TRG = ini.ReadInteger("NoDel", "TRG", 0);
  Settings.Path = ini.ReadString("PDF", "Path", ExeFolder());
}

void SaveSettings() {
  rtl::TIniFile ini(IniFileName());
  ini.WriteInteger("Pos", "Top", Settings.Top);
  ini.WriteInteger("Pos", "Left", Settings.Left);
  ini.WriteInteger("App", "DoLaunch", Settings.DoLaunch);
  ini.WriteString("App", "Launch", Settings.Launch);
  ini.WriteInteger("Mode", "DD", Settings.DD);
  ini.WriteInteger("NoDel", "ORG", Settings.ORG);
  ini.WriteInteger("NoDel", "TRG", Settings.TRG);
  ini.WriteString("PDF", "Path", Settings.Path);
}

std::vector<std::string> ReadLog() {
  rtl::TIniFile log(LogFileName());
  std::vector<std::string> files;
  for (int i = 0;; ++i) {
    std::string f = log.ReadString(kLogSection, kLogKeyPrefix + rtl::IntToStr(i), "");
    if (f.empty()) break;
    files.push_back(f);
  }
  return files;
}

void WriteLog(const std::vector<std::string>& files) {
  rtl::TIniFile log(LogFileName());
  log.EraseSection(kLogSection);
  for (size_t i = 0; i < files.size(); ++i)
    log.WriteString(kLogSection, kLogKeyPrefix + rtl::IntToStr(static_cast<int64_t>(i)), files[i]);
}

void DeleteLog() { rtl::DeleteFile(LogFileName()); }

}  // namespace converter
