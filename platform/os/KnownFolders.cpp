#include "platform/os/KnownFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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

namespace {
// The base directory specification: a relative value is to be ignored.
std::string BaseFolder(const char* variable, const char* fallback) {
  const char* x = std::getenv(variable);
  if (x && x[0] == '/') return x;
  return rtl::IncludeTrailingPathDelimiter(HomeFolder()) + fallback;
}
}  // namespace

std::string AppDataFolder() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_appData.empty()) return g_appData;
  }
  return BaseFolder("XDG_CONFIG_HOME", ".config");
}

std::string CacheFolder() {
  return BaseFolder("XDG_CACHE_HOME", ".cache");
}

TProgramFolders ProgramFolders(const std::string& programFolder, const std::string& name) {
  const std::string own = rtl::IncludeTrailingPathDelimiter(programFolder);
  // Whether this user may make files there, as the kernel will judge it
  // when we try (a read-only mount included); a folder that is missing or
  // cannot be looked at says nothing about an installation.
  const bool mayWrite = ::access(own.c_str(), W_OK | X_OK) == 0;
  const bool refused = !mayWrite && (errno == EACCES || errno == EROFS || errno == EPERM);
  if (!refused) return {own, own + kWorkFolderName + "/", false};
  const std::string settings = rtl::IncludeTrailingPathDelimiter(AppDataFolder()) + name + "/";
  const std::string work =
      rtl::IncludeTrailingPathDelimiter(CacheFolder()) + name + "/" + kWorkFolderName + "/";
  return {settings, work, true};
}

void SetAppDataFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_appData = folder;
}

bool GetSpecialFolderPath(int csidl, std::string& path) {
  switch (csidl) {
    case CSIDL_APPDATA:
      path = AppDataFolder();
      return true;
    case CSIDL_PROFILE:
      path = HomeFolder();
      return true;
    default:
      return false;
  }
}

}  // namespace os
