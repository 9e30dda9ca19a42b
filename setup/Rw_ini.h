// The two settings files the setup utility edits, through the private-profile
// access, touching only its own keys (every other key and section stays):
//
// - the scanner software's configuration file, whose table of user
//   applications lists the programs it can start after a scan: section
//   USERAPP with AppCnt and, per entry i, AppPath_10i, AppName_10i and
//   AppCmmd_10i; section CONFIG_M with SbAppID, 100 + the entry chosen last;
// - the converter's settings file, into which the launch settings
//   (App/DoLaunch, App/Launch) go: beside this program and the converter,
//   or, when they are installed where the user may not write, in the
//   user's settings folder where the converter then reads it.
//
// The values are program-wide, as the converter keeps its own settings.
#pragma once

#include <array>
#include <string>

namespace setup {

// The converter that lies beside this program.
inline constexpr const char* kConverterName = "tarnwick";

// The scanner software offers this many user applications.
inline constexpr int kMaxUserApps = 5;

inline constexpr const char* kUserAppSection = "USERAPP";
inline constexpr const char* kConfigSection = "CONFIG_M";
inline constexpr const char* kLaunchSection = "App";

struct TScannerConfig {
  int AppCnt = 0;
  std::array<std::string, kMaxUserApps> AppPath;
  std::array<std::string, kMaxUserApps> AppName;
  std::array<std::string, kMaxUserApps> AppCmmd;
  int SbAppID = 0;
};

struct TLaunchSettings {
  int DoLaunch = 0;
  std::string Launch;
};

extern TScannerConfig ScannerConfig;
extern TLaunchSettings LaunchSettings;

// "AppPath_10" + i and its siblings: the key of entry i.
std::string UserAppKey(const std::string& prefix, int index);

// This program's folder, with its trailing "/".
std::string OwnFolder();
// The converter beside this program, and its settings file (where the
// converter reads it).
std::string ConverterFileName();
std::string ConverterIniFileName();

// Reads AppCnt, then all three keys of every entry whatever AppCnt says,
// then SbAppID. A missing file or key reads as 0 or empty.
void ReadScannerConfig(const std::string& file);
// Writes AppCnt, the keys of the entries below it, then SbAppID. Entries at
// or beyond AppCnt are not written: their keys stay in the file as they are.
// AppCnt is written as it stands; callers keep it within 0..kMaxUserApps.
// A value the file cannot hold (a line break) raises EIniFileException
// before anything is written.
void WriteScannerConfig(const std::string& file);
// Writes App/DoLaunch and App/Launch into the converter's settings file.
void WriteConverterIni();

}  // namespace setup
