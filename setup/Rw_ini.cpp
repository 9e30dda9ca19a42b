#include "setup/Rw_ini.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/os/KnownFolders.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace setup {

TScannerConfig ScannerConfig;
TLaunchSettings LaunchSettings;

namespace {

struct TEntry {
  std::string Section, Key, Value;
};

// All of the entries in one replacement of the file, or none: a value it
// would refuse (a line break) stops the edit before anything is written, so
// a table is never left half written, with a count that names entries not
// there or an entry made of two.
void WriteEntries(const std::string& file, const std::vector<TEntry>& entries) {
  rtl::TIniFile(file).Update([&](rtl::TIniContent& content) {
    for (const auto& e : entries)
      if (!content.Write(e.Section, e.Key, e.Value))
        throw rtl::EIniFileException(
            rtl::Format(rtl::SIniFileBadName, {file, "[" + e.Section + "] " + e.Key}));
  });
}

}  // namespace

std::string UserAppKey(const std::string& prefix, int index) {
  return prefix + "_10" + rtl::IntToStr(index);
}

std::string OwnFolder() {
  return rtl::ExtractFilePath(rtl::ExecutableFileName());
}

std::string ConverterFileName() {
  return OwnFolder() + kConverterName;
}

std::string ConverterIniFileName() {
  // The converter beside us decides the same way where its settings lie.
  return os::ProgramFolders(OwnFolder(), kConverterName).Settings + kConverterName + ".ini";
}

void ReadScannerConfig(const std::string& file) {
  const rtl::TIniContent ini = rtl::TIniFile(file).Read();
  TScannerConfig c;
  std::string v;
  if (ini.Find(kUserAppSection, "AppCnt", v) &&
      (!rtl::TryParseDecimal(v, c.AppCnt, rtl::lbRefused) || c.AppCnt < 0 || c.AppCnt > kMaxUserApps))
    throw EScannerConfigError(rtl::Format(kBadAppCount, {v}));
  auto text = [&](const char* section, const std::string& key) {
    std::string value;
    return ini.Find(section, key, value) ? value : std::string();
  };
  for (int i = 0; i < kMaxUserApps; ++i) {
    c.AppPath[i] = text(kUserAppSection, UserAppKey("AppPath", i));
    c.AppName[i] = text(kUserAppSection, UserAppKey("AppName", i));
    c.AppCmmd[i] = text(kUserAppSection, UserAppKey("AppCmmd", i));
  }
  c.SbAppID = rtl::StrToIntDef(text(kConfigSection, "SbAppID"), 0);
  ScannerConfig = c;
}

void WriteScannerConfig(const std::string& file) {
  const TScannerConfig& c = ScannerConfig;
  std::vector<TEntry> entries{{kUserAppSection, "AppCnt", rtl::IntToStr(c.AppCnt)}};
  // The table has five places, whatever the count says.
  const int n = std::clamp(c.AppCnt, 0, kMaxUserApps);
  for (int i = 0; i < n; ++i) {
    entries.push_back({kUserAppSection, UserAppKey("AppPath", i), c.AppPath[i]});
    entries.push_back({kUserAppSection, UserAppKey("AppName", i), c.AppName[i]});
    entries.push_back({kUserAppSection, UserAppKey("AppCmmd", i), c.AppCmmd[i]});
  }
  entries.push_back({kConfigSection, "SbAppID", rtl::IntToStr(c.SbAppID)});
  WriteEntries(file, entries);
}

bool ReadOnlyFile(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return false;
  if ((st.st_mode & 0222) == 0 || ::access(file.c_str(), W_OK) != 0) return true;
  // The new table is renamed over the old one in its folder.
  char resolved[PATH_MAX];
  const std::string real = ::realpath(file.c_str(), resolved) ? std::string(resolved) : file;
  std::string folder = rtl::ExtractFilePath(real);
  if (folder.empty()) folder = "./";
  return ::access(folder.c_str(), W_OK | X_OK) != 0;
}

void WriteConverterIni() {
  // The user's settings folder of an installed converter that never ran.
  rtl::ForceDirectories(rtl::ExtractFilePath(ConverterIniFileName()));
  WriteEntries(ConverterIniFileName(), {{kLaunchSection, "DoLaunch", rtl::IntToStr(LaunchSettings.DoLaunch)},
                                        {kLaunchSection, "Launch", LaunchSettings.Launch}});
}

}  // namespace setup
