#include "converter/Rw_ini.h"

#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

TSettings Settings;

std::string ExeFolder() { return rtl::ExtractFilePath(rtl::ExecutableFileName()); }

std::string WorkFolder() { return ExeFolder() + "cmdline/"; }

std::string IniFileName() { return rtl::ChangeFileExt(rtl::ExecutableFileName(), ".ini"); }

std::string LogFileName() { return rtl::ChangeFileExt(rtl::ExecutableFileName(), ".log"); }

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
