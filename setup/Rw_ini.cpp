#include "setup/Rw_ini.h"

#include <algorithm>
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

// The file takes all of the entries or none: a value it would refuse (a
// line break) is found before the first key is written, so a table is
// never left half written, with a count that names entries not there.
void WriteEntries(const std::string& file, const std::vector<TEntry>& entries) {
  rtl::TIniContent probe;
  for (const auto& e : entries)
    if (!probe.Write(e.Section, e.Key, e.Value))
      throw rtl::EIniFileException(rtl::Format(rtl::SIniFileBadName, {file, "[" + e.Section + "] " + e.Key}));
  rtl::TIniFile ini(file);
  for (const auto& e : entries) ini.WriteString(e.Section, e.Key, e.Value);
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
  rtl::TIniFile ini(file);
  ScannerConfig.AppCnt = ini.ReadInteger(kUserAppSection, "AppCnt", 0);
  for (int i = 0; i < kMaxUserApps; ++i) {
    ScannerConfig.AppPath[i] = ini.ReadString(kUserAppSection, UserAppKey("AppPath", i), "");
    ScannerConfig.AppName[i] = ini.ReadString(kUserAppSection, UserAppKey("AppName", i), "");
    ScannerConfig.AppCmmd[i] = ini.ReadString(kUserAppSection, UserAppKey("AppCmmd", i), "");
  }
  ScannerConfig.SbAppID = ini.ReadInteger(kConfigSection, "SbAppID", 0);
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

void WriteConverterIni() {
  // The user's settings folder of an installed converter that never ran.
  rtl::ForceDirectories(rtl::ExtractFilePath(ConverterIniFileName()));
  WriteEntries(ConverterIniFileName(), {{kLaunchSection, "DoLaunch", rtl::IntToStr(LaunchSettings.DoLaunch)},
                                        {kLaunchSection, "Launch", LaunchSettings.Launch}});
}

}  // namespace setup
