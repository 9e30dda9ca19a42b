#include "platform/os/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>

#include "platform/rtl/SysUtils.h"

namespace os {

namespace {

bool ParsePid(const char* s, pid_t& pid) {
  const char* end = s;
  while (*end) ++end;
  if (s == end) return false;
  auto r = std::from_chars(s, end, pid);
  return r.ec == std::errc() && r.ptr == end && pid > 0;
}

std::string ReadLink(const std::string& path) {
  char buf[PATH_MAX];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return {};
  std::string s(buf, static_cast<size_t>(n));
  // A program replaced or removed while it runs still has its old path.
  const std::string deleted = " (deleted)";
  if (s.size() > deleted.size() && s.compare(s.size() - deleted.size(), deleted.size(), deleted) == 0)
    s.resize(s.size() - deleted.size());
  return s;
}

// A small proc file, at most limit bytes.
std::string ReadSmall(const std::string& path, size_t limit = 4096) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string s(limit, '\0');
  ssize_t n = ::read(fd, s.data(), limit);
  ::close(fd);
  s.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return s;
}

bool ReadEntry(const std::string& proc, pid_t pid, TProcessEntry& e) {
  std::string dir = proc + "/" + rtl::IntToStr(pid);
  // "pid (comm) state ppid ...": the name may hold blanks and ")".
  std::string stat = ReadSmall(dir + "/stat");
  size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  e.Pid = pid;
  std::string comm = stat.substr(open + 1, close - open - 1);
  e.ParentPid = 0;
  if (close + 4 < stat.size()) {
    const char* p = stat.data() + close + 4;  // past ") S "
    const char* end = stat.data() + stat.size();
    std::from_chars(p, end, e.ParentPid);
  }
  e.ExePath = ReadLink(dir + "/exe");
  e.ExeFile = e.ExePath.empty() ? comm : rtl::ExtractFileName(e.ExePath);
  return true;
}

}  // namespace

TProcessSnapshot::TProcessSnapshot(const std::string& procFolder) {
  DIR* d = ::opendir(procFolder.c_str());
  if (!d) return;
  valid_ = true;
  while (dirent* de = ::readdir(d)) {
    pid_t pid;
    if (!ParsePid(de->d_name, pid)) continue;
    TProcessEntry e;
    // A process that ended while we read is simply not listed.
    if (ReadEntry(procFolder, pid, e)) entries_.push_back(std::move(e));
  }
  ::closedir(d);
  std::sort(entries_.begin(), entries_.end(),
            [](const TProcessEntry& a, const TProcessEntry& b) { return a.Pid < b.Pid; });
}

const TProcessEntry* TProcessSnapshot::Find(pid_t pid) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), pid,
                             [](const TProcessEntry& e, pid_t p) { return e.Pid < p; });
  return it != entries_.end() && it->Pid == pid ? &*it : nullptr;
}

std::string ExecutableOfProcess(pid_t pid, bool fullPath, const std::string& procFolder) {
  if (pid <= 0) return {};
  std::string path = ReadLink(procFolder + "/" + rtl::IntToStr(pid) + "/exe");
  return fullPath ? path : rtl::ExtractFileName(path);
}

}  // namespace os
