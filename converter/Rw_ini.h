// The converter's settings, kept in program-wide values that are loaded once
// when the main window is made and written once when it closes, and the log
// of the TIFF files one run produced (so the next start can delete them).
//
// Both files lie beside the executable: its name with ".ini" and ".log" in
// place of an extension (tarnwick.ini, tarnwick.log). The work folder is
// "cmdline/" in the executable's folder. Installed where the user may not
// write, the files lie in the user's settings folder (~/.config/tarnwick/)
// and the work folder in the user's cache (~/.cache/tarnwick/cmdline/).
#pragma once

#include <string>
#include <vector>

namespace converter {

struct TSettings {
  int Top = 0;            // Pos/Top
  int Left = 0;           // Pos/Left
  int DoLaunch = 0;       // App/DoLaunch: hand each TIFF to Launch
  std::string Launch;     // App/Launch: the application to start
  int DD = 0;             // Mode/DD: drag mode
  int ORG = 0;            // NoDel/ORG: keep the source PDF
  int TRG = 0;            // NoDel/TRG: keep the produced TIFFs
  std::string Path;       // PDF/Path: start folder of the file list
};

extern TSettings Settings;

// The executable's folder with its trailing "/".
std::string ExeFolder();
// Where the settings and the log lie, with its trailing "/": ExeFolder()
// unless installed.
std::string SettingsFolder();
// ExeFolder() + "cmdline/" unless installed.
std::string WorkFolder();
std::string IniFileName();
std::string LogFileName();

// Reads every key; missing keys and values that are no number give the
// defaults (Path: the executable's folder).
void LoadSettings();
// Writes every key back; other keys and sections of the file stay.
void SaveSettings();

inline constexpr const char* kLogSection = "File";
inline constexpr const char* kLogKeyPrefix = "Logs";

// The paths of the log, Logs0, Logs1, ... up to the first empty value.
std::vector<std::string> ReadLog();
// Replaces the log's list by files. The section is cleared first, so keys
// left from a longer earlier list can never name files of another run.
void WriteLog(const std::vector<std::string>& files);
// Deletes the log file (when the user keeps the TIFFs).
void DeleteLog();

}  // namespace converter
