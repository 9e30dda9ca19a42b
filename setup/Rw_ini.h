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

#include "platform/rtl/SysUtils.h"

namespace setup {

// A configuration the run must not edit: its table cannot be taken as it
// stands, so any entry written into it could overwrite one of the user's.
using TScannerConfigBase = rtl::Exception;
RTL_DECLARE_EXCEPTION(EScannerConfigError, TScannerConfigBase);

// The converter that lies beside this program.
inline constexpr const char* kConverterName = "tarnwick";

// The scanner software offers this many user applications.
inline constexpr int kMaxUserApps = 5;

inline constexpr const char* kUserAppSection = "USERAPP";
inline constexpr const char* kConfigSection = "CONFIG_M";
inline constexpr const char* kLaunchSection = "App";

// Why a table is refused (%s: the value as the file holds it).
inline constexpr const char* kBadAppCount = "AppCntの値「%s」が0～5の数ではありません";

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
// then SbAppID, from one read of the file. A missing file or key reads as 0
// or empty. A file that exists but cannot be read raises
// rtl::EIniFileException; an AppCnt that is not a whole number from 0 to
// kMaxUserApps raises EScannerConfigError: the table it counts is not
// known, and an entry written by its count could be one of the user's.
void ReadScannerConfig(const std::string& file);
// Writes AppCnt, the keys of the entries below it, then SbAppID, as one
// replacement of the file: a failure or a kill leaves the old table whole.
// Entries at or beyond AppCnt are not written: their keys stay in the file
// as they are. AppCnt is written as it stands; callers keep it within
// 0..kMaxUserApps. A value the file cannot hold (a line break) raises
// EIniFileException and nothing is written.
void WriteScannerConfig(const std::string& file);
// Whether the file may not be changed: no one may write it (its mode, even
// where the user could), or the user may not write it or replace it in its
// folder.
bool ReadOnlyFile(const std::string& file);
// Writes App/DoLaunch and App/Launch into the converter's settings file.
void WriteConverterIni();

}  // namespace setup
