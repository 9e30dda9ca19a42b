// The converter's settings, kept in program-wide values that are loaded once
// when the main window is made and written once when it closes, the log of
// the TIFF files one run produced (so the next start can delete them), and
// the work folders.
//
// Settings and log lie beside the executable: its name with ".ini" and
// ".log" in place of an extension (tarnwick.ini, tarnwick.log). The work
// root is "cmdline/" in the executable's folder. Installed where the user
// may not write, the files lie in the user's settings folder
// (~/.config/tarnwick/) and the work root in the user's cache
// (~/.cache/tarnwick/cmdline/). Inside the work root every running converter
// has a work folder of its own, named after its process, so that converters
// started side by side by the scanner software never share a work file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace converter {

struct TSettings {
  int Top = 0;         // Pos/Top
  int Left = 0;        // Pos/Left
  int DoLaunch = 0;    // App/DoLaunch: hand each TIFF to Launch
  std::string Launch;  // App/Launch: the application to start
  int DD = 0;          // Mode/DD: drag mode
  int ORG = 0;         // NoDel/ORG: keep the source PDF
  int TRG = 0;         // NoDel/TRG: keep the produced TIFFs
  std::string Path;    // PDF/Path: start folder of the file list
};

extern TSettings Settings;

// The executable's folder with its trailing "/".
std::string ExeFolder();
// Where the settings and the log lie, with its trailing "/": ExeFolder()
// unless installed.
std::string SettingsFolder();
// The folder that holds every converter's work folder (and a page tool put
// there), with its trailing "/": ExeFolder() + "cmdline/" unless installed.
std::string WorkRoot();
// This process's own work folder, WorkRoot() + "<pid>-<start time>/": the
// process id and its start time (os::ProcessStartTime) name one process even
// after its id is used again.
std::string WorkFolder();
std::string IniFileName();
std::string LogFileName();

// In a work folder: the note of the TIFF being put in place beside its
// source (PlaceTiff), which names its temporary file while it has a name.
inline constexpr const char* kPlacementNote = "placing";

// Makes the work root when missing and this process's work folder afresh,
// and removes the work folders of converters no longer running (one killed
// before it could remove its own), with the temporary TIFF that such a
// converter's note still names beside a source. False when the folder
// cannot be made.
bool PrepareWorkFolder();
// Empties this process's work folder / removes it with what it holds.
void ClearWorkFolder();
void RemoveWorkFolder();

// Reads every key; missing keys and values that are no number give the
// defaults (Path: the executable's folder). A settings file that exists but
// cannot be read raises rtl::EIniFileException: its defaults would delete
// what the user asked to keep.
void LoadSettings();
// Writes every key back in one replacement of the file; other keys and
// sections of the file stay.
void SaveSettings();

inline constexpr const char* kLogSection = "File";
inline constexpr const char* kLogKeyPrefix = "Logs";
// Beside each LogsN, MarkN holds the file's mark (FileMark) when it was
// logged; a log written before marks were kept has none.
inline constexpr const char* kLogMarkPrefix = "Mark";

// What tells one file from another that later took its name: device, inode,
// size and modification time of a regular file, as
// "<dev>:<ino>:<size>:<seconds>.<nanoseconds>"; empty for anything but a
// regular file (a link is not followed).
std::string FileMark(const std::string& path);

struct TLogEntry {
  std::string Path;
  std::string Mark;  // empty when the log holds none
};

// The entries of the log, Logs0, Logs1, ... up to the first empty value,
// read in one pass over the file. Names are stored through
// rtl::EncodeIniValue, so that a name of any bytes (a line break in it)
// reads back as written; a value that does not decode reads as an empty
// path. A log that cannot be read reads as empty.
std::vector<TLogEntry> ReadLogEntries();
// Just the paths.
std::vector<std::string> ReadLog();
// Replaces the log's list by entries in one write. The section is cleared
// first, so keys left from a longer earlier list can never name files of
// another run.
void WriteLog(const std::vector<TLogEntry>& entries);
// Deletes the log file (when the user keeps the TIFFs).
void DeleteLog();
// Holds the log for one read-and-replace against converters running side by
// side (an advisory lock on the log's folder); given up after a few seconds
// when another holds it that long.
class TLogLock {
 public:
  TLogLock();
  ~TLogLock();
  TLogLock(const TLogLock&) = delete;
  TLogLock& operator=(const TLogLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace converter
