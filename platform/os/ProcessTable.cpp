#include "platform/os/ProcessTable.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>

#include "platform/rtl/Handles.h"
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

bool ReadEntry(const std::string& proc, pid_t pid, TProcessEntry& e) {
  const auto stat = ReadProcStat(pid, proc);
  if (!stat) return false;
  e.Pid = pid;
  e.ParentPid = stat->ParentPid;
  e.ExePath = ReadLink(proc + "/" + rtl::IntToStr(pid) + "/exe");
  e.ExeFile = e.ExePath.empty() ? stat->Comm : rtl::ExtractFileName(e.ExePath);
  return true;
}

// The decimal number of a field; false for anything else.
template <typename T>
bool ParseField(std::string_view s, T& v) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

}  // namespace

std::optional<TProcStat> ParseProcStat(std::string_view line) {
  const size_t open = line.find('('), close = line.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return std::nullopt;
  TProcStat st;
  std::string_view pid = line.substr(0, open);
  while (!pid.empty() && pid.back() == ' ') pid.remove_suffix(1);
  if (!ParseField(pid, st.Pid)) st.Pid = 0;
  st.Comm = std::string(line.substr(open + 1, close - open - 1));
  // The fields after the name, from the state (the line's third) on, each
  // after one blank.
  std::vector<std::string_view> fields;
  for (size_t p = close + 1; p < line.size() && line[p] == ' ' && fields.size() < 20;) {
    size_t q = line.find_first_of(" \n", p + 1);
    if (q == std::string_view::npos) q = line.size();
    fields.push_back(line.substr(p + 1, q - p - 1));
    p = q;
  }
  if (fields.empty() || fields[0].size() != 1) return std::nullopt;
  st.State = fields[0][0];
  if (fields.size() > 1 && !ParseField(fields[1], st.ParentPid)) st.ParentPid = 0;
  uint64_t start = 0;
  if (fields.size() == 20 && ParseField(fields[19], start)) st.StartTime = start;
  return st;
}

std::optional<TProcStat> ReadProcStat(pid_t pid, const std::string& procFolder) {
  if (pid <= 0) return std::nullopt;
  std::string line;
  if (rtl::ReadSmallFile(procFolder + "/" + rtl::IntToStr(pid) + "/stat", kMaxProcStatBytes, line) != 0)
    return std::nullopt;
  return ParseProcStat(line);
}

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
