// The user's known folders. The application-data folder is where programs
// keep per-user settings: $XDG_CONFIG_HOME when set to an absolute path,
// else ~/.config. A test sets its own with SetAppDataFolder (or by setting
// XDG_CONFIG_HOME for a child process).
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
// The folder of a CSIDL number (the two above); false for any other.
bool GetSpecialFolderPath(int csidl, std::string& path);

}  // namespace os
