#include "platform/os/KnownFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace os {

namespace {
std::mutex g_mutex;
std::string g_appData;
}  // namespace

std::string HomeFolder() {
  const char* h = std::getenv("HOME");
  if (h && *h) return h;
  std::vector<char> buf(16384);
  struct passwd pw, *res = nullptr;
  if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &res) == 0 && res && res->pw_dir) return res->pw_dir;
  return "/";
}

std::string AppDataFolder() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_appData.empty()) return g_appData;
  }
  // The base directory specification: a relative value is to be ignored.
  const char* x = std::getenv("XDG_CONFIG_HOME");
  if (x && x[0] == '/') return x;
  std::string home = HomeFolder();
  return rtl::IncludeTrailingPathDelimiter(home) + ".config";
}

void SetAppDataFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_appData = folder;
}

bool GetSpecialFolderPath(int csidl, std::string& path) {
  switch (csidl) {
    case CSIDL_APPDATA: path = AppDataFolder(); return true;
    case CSIDL_PROFILE: path = HomeFolder(); return true;
    default: return false;
  }
}

}  // namespace os
