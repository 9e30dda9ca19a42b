#include "setup/Rw_ini.h"

#include <algorithm>

#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace setup {

TScannerConfig ScannerConfig;
TLaunchSettings LaunchSettings;

std::string UserAppKey(const std::string& prefix, int index) { return prefix + "_10" + rtl::IntToStr(index); }

std::string OwnFolder() { return rtl::ExtractFilePath(rtl::ExecutableFileName()); }

std::string ConverterFileName() { return OwnFolder() + "tarnwick"; }

std::string ConverterIniFileName() { return OwnFolder() + "tarnwick.ini"; }

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
  rtl::TIniFile ini(file);
  ini.WriteInteger(kUserAppSection, "AppCnt", ScannerConfig.AppCnt);
  // The table has five places, whatever the count says.
  const int n = std::clamp(ScannerConfig.AppCnt, 0, kMaxUserApps);
  for (int i = 0; i < n; ++i) {
    ini.WriteString(kUserAppSection, UserAppKey("AppPath", i), ScannerConfig.AppPath[i]);
    ini.WriteString(kUserAppSection, UserAppKey("AppName", i), ScannerConfig.AppName[i]);
    ini.WriteString(kUserAppSection, UserAppKey("AppCmmd", i), ScannerConfig.AppCmmd[i]);
  }
  ini.WriteInteger(kConfigSection, "SbAppID", ScannerConfig.SbAppID);
}

void WriteConverterIni() {
  rtl::TIniFile ini(ConverterIniFileName());
  ini.WriteInteger(kLaunchSection, "DoLaunch", LaunchSettings.DoLaunch);
  ini.WriteString(kLaunchSection, "Launch", LaunchSettings.Launch);
}

}  // namespace setup
