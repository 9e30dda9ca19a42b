#include "converter/Rw_ini.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <map>

#include "converter/FileGuard.h"
#include "platform/os/KnownFolders.h"
#include "platform/os/Windows.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

namespace {

namespace fs = std::filesystem;

// How long a start or a close waits for another converter's hold on the log.
constexpr int kLogLockWaitMs = 5000;
constexpr int kLogLockPollMs = 20;

// "<pid>-<start time>" of this process.
std::string OwnWorkName() {
  static const std::string name = [] {
    const pid_t pid = ::getpid();
    return rtl::IntToStr(pid) + "-" + std::to_string(os::ProcessStartTime(static_cast<int>(pid)));
  }();
  return name;
}

// Whether the work folder name belongs to a converter that still runs. A
// name that is not a work folder's counts as running: it is not ours to
// remove.
bool OwnerRunning(const std::string& name) {
  size_t dash = name.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == name.size() || dash > 9) return true;
  pid_t pid = 0;
  uint64_t start = 0;
  auto r1 = std::from_chars(name.data(), name.data() + dash, pid);
  auto r2 = std::from_chars(name.data() + dash + 1, name.data() + name.size(), start);
  if (r1.ec != std::errc() || r1.ptr != name.data() + dash || r2.ec != std::errc() ||
      r2.ptr != name.data() + name.size() || pid <= 0)
    return true;
  if (os::ProcessStartTime(pid) != 0) return os::ProcessAlive(pid, start);
  // No stat to read: gone, unless the process is there but hidden from us.
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

void RemoveTree(const std::string& folder) {
  std::error_code ec;
  fs::remove_all(rtl::ExcludeTrailingPathDelimiter(folder), ec);
}

}  // namespace

TSettings Settings;

std::string ExeFolder() {
  return rtl::ExtractFilePath(rtl::ExecutableFileName());
}

namespace {

// The executable's name without its extension: "tarnwick".
std::string ProgramName() {
  return rtl::ChangeFileExt(rtl::ExtractFileName(rtl::ExecutableFileName()), "");
}

// The setup utility asks the same question with the same name, so the
// launch settings it writes are the ones read here.
os::TProgramFolders Folders() {
  return os::ProgramFolders(ExeFolder(), ProgramName());
}

}  // namespace

std::string SettingsFolder() {
  return Folders().Settings;
}

std::string WorkRoot() {
  return Folders().Work;
}

std::string WorkFolder() {
  return WorkRoot() + OwnWorkName() + "/";
}

std::string IniFileName() {
  return SettingsFolder() + ProgramName() + ".ini";
}

std::string LogFileName() {
  return SettingsFolder() + ProgramName() + ".log";
}

bool PrepareWorkFolder() {
  const std::string root = WorkRoot();
  rtl::ForceDirectories(root);
  std::error_code ec;
  std::vector<std::string> stale;
  for (const auto& entry : fs::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    std::error_code sec;
    // A link is never followed into: only real folders are work folders.
    if (!entry.is_directory(sec) || entry.is_symlink(sec)) continue;
    // Ours by name is a folder left by an earlier process that had our id
    // and start time (before the system restarted): ours to renew.
    if (name == OwnWorkName() || !OwnerRunning(name)) stale.push_back(entry.path().string());
  }
  for (const auto& s : stale) {
    // Killed between naming its TIFF's temporary and renaming it.
    RemoveLeftTemporary(s + "/" + kPlacementNote);
    RemoveTree(s);
  }
  return ::mkdir(rtl::ExcludeTrailingPathDelimiter(WorkFolder()).c_str(), 0700) == 0;
}

void ClearWorkFolder() {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& entry : fs::directory_iterator(WorkFolder(), ec)) entries.push_back(entry.path());
  for (const auto& e : entries) fs::remove_all(e, ec);
}

void RemoveWorkFolder() {
  RemoveTree(WorkFolder());
}

void LoadSettings() {
  const rtl::TIniContent ini = rtl::TIniFile(IniFileName()).Read();
  auto integer = [&](const char* section, const char* key) {
    std::string v;
    return ini.Find(section, key, v) ? rtl::StrToIntDef(v, 0) : 0;
  };
  auto text = [&](const char* section, const char* key, const std::string& def) {
    std::string v;
    return ini.Find(section, key, v) ? v : def;
  };
  Settings.Top = integer("Pos", "Top");
  Settings.Left = integer("Pos", "Left");
  Settings.DoLaunch = integer("App", "DoLaunch");
  Settings.Launch = text("App", "Launch", "");
  Settings.DD = integer("Mode", "DD");
  Settings.ORG = integer("NoDel", "ORG");
  Settings.TRG = integer("NoDel", "TRG");
  Settings.Path = text("PDF", "Path", ExeFolder());
}

void SaveSettings() {
  rtl::TIniFile ini(IniFileName());
  ini.Update([&](rtl::TIniContent& c) {
    const std::pair<const char*, const char*> integers[] = {{"Pos", "Top"},      {"Pos", "Left"},
                                                            {"App", "DoLaunch"}, {"Mode", "DD"},
                                                            {"NoDel", "ORG"},    {"NoDel", "TRG"}};
    const int values[] = {Settings.Top, Settings.Left, Settings.DoLaunch,
                          Settings.DD,  Settings.ORG,  Settings.TRG};
    bool ok = true;
    for (size_t i = 0; i < std::size(integers); ++i)
      ok = c.Write(integers[i].first, integers[i].second, rtl::IntToStr(values[i])) && ok;
    ok = c.Write("App", "Launch", Settings.Launch) && ok;
    ok = c.Write("PDF", "Path", Settings.Path) && ok;
    if (!ok) throw rtl::EIniFileException(rtl::Format(rtl::SIniFileWriteError, {ini.FileName}));
  });
}

std::string FileMark(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) +
         ":" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

std::vector<TLogEntry> ReadLogEntries() {
  rtl::TIniContent log;
  try {
    log = rtl::TIniFile(LogFileName()).Read();
  } catch (const rtl::EIniFileException&) {
    return {};
  }
  // One pass over the section; the first of a key given twice counts.
  std::map<std::string, std::string> values;
  for (auto& [k, v] : log.Values(kLogSection)) values.emplace(rtl::AnsiLowerCase(k), v);
  auto value = [&](const std::string& key) {
    auto it = values.find(rtl::AnsiLowerCase(key));
    return it == values.end() ? std::string() : it->second;
  };
  std::vector<TLogEntry> entries;
  for (int64_t i = 0;; ++i) {
    std::string f = value(kLogKeyPrefix + rtl::IntToStr(i));
    if (f.empty()) break;
    std::string path;
    rtl::DecodeIniValue(f, path);
    entries.push_back({path, value(kLogMarkPrefix + rtl::IntToStr(i))});
  }
  return entries;
}

std::vector<std::string> ReadLog() {
  std::vector<std::string> paths;
  for (auto& e : ReadLogEntries()) paths.push_back(std::move(e.Path));
  return paths;
}

void WriteLog(const std::vector<TLogEntry>& entries) {
  rtl::TIniFile log(LogFileName());
  std::vector<std::pair<std::string, std::string>> lines;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string n = rtl::IntToStr(static_cast<int64_t>(i));
    lines.emplace_back(kLogKeyPrefix + n, rtl::EncodeIniValue(entries[i].Path));
    if (!entries[i].Mark.empty()) lines.emplace_back(kLogMarkPrefix + n, entries[i].Mark);
  }
  log.Update([&](rtl::TIniContent& c) {
    if (!c.ReplaceSection(kLogSection, lines))
      throw rtl::EIniFileException(rtl::Format(rtl::SIniFileWriteError, {log.FileName}));
  });
}

void DeleteLog() {
  rtl::DeleteFile(LogFileName());
}

TLogLock::TLogLock() {
  const std::string folder = rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(LogFileName()));
  fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) return;
  const uint64_t deadline = rtl::GetTickCount64() + kLogLockWaitMs;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    // Better a log written without the hold than a program that hangs.
    if (rtl::GetTickCount64() >= deadline) break;
    rtl::Sleep(kLogLockPollMs);
  }
}

TLogLock::~TLogLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace converter
