// The user's known folders. The application-data folder is where programs
// keep per-user settings: $XDG_CONFIG_HOME when set to an absolute path,
// else ~/.config. A test sets its own with SetAppDataFolder (or by setting
// XDG_CONFIG_HOME for a child process). The cache folder, for files a
// program may lose, follows $XDG_CACHE_HOME the same way, else ~/.cache.
//
// A program keeps its settings, its log and its work folder beside its
// executable. Installed where the user may not write (a folder of the
// system's), it keeps them in the user's folders instead: ProgramFolders
// decides, and every program that reads or writes another's files asks it
// with that program's folder and name, so both find the same files.
#pragma once

#include <string>

namespace os {

inline constexpr int CSIDL_APPDATA = 0x001A;
inline constexpr int CSIDL_PROFILE = 0x0028;

// $HOME, else the home folder of the user's account.
std::string HomeFolder();
std::string AppDataFolder();
// "" goes back to the environment.
void SetAppDataFolder(const std::string& folder);
std::string CacheFolder();

inline constexpr const char* kWorkFolderName = "cmdline";

struct TProgramFolders {
  std::string Settings;    // settings and log, with a trailing "/"
  std::string Work;        // the work folder, with a trailing "/"
  bool Installed = false;  // true: in the user's folders
};
// Beside the program (programFolder, and its "cmdline/") unless the user may
// not write into programFolder; then AppDataFolder()/name/ and
// CacheFolder()/name/cmdline/. Nothing is created. A program folder that
// is not there at all is not an installed one.
TProgramFolders ProgramFolders(const std::string& programFolder, const std::string& name);

// The folder of a CSIDL number (the two above); false for any other.
bool GetSpecialFolderPath(int csidl, std::string& path);

}  // namespace os
