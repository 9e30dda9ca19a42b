// The table of running processes, read from /proc.
//
// A TProcessSnapshot is the table at one moment: every process with its id,
// its executable's name and, where we may read it, the executable's full
// path. Take one snapshot per question and look everything up in it. The
// proc folder is a parameter so that tests can give a made-up one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace os {

inline constexpr const char* kProcFolder = "/proc";
// A stat line is under a kilobyte; more is not a stat line.
inline constexpr size_t kMaxProcStatBytes = 4096;

// The fields of a process's stat line that the system asks for.
struct TProcStat {
  pid_t Pid = 0;
  // The command name, cut at 15 characters by the kernel; it may hold
  // anything, blanks and parentheses included.
  std::string Comm;
  char State = 0;  // 'R', 'S', 'Z' (a zombie), 'X' (dead), ...
  pid_t ParentPid = 0;
  // Clock ticks after boot at which the process started: with the pid it
  // names one process, as a pid alone is reused. Absent from a short line.
  std::optional<uint64_t> StartTime;
};

// Parses "pid (comm) state ppid ... starttime ...": the command name runs to
// the last ")", the fixed fields follow it. nullopt for a line without a
// name or a state.
std::optional<TProcStat> ParseProcStat(std::string_view line);
// Reads and parses procFolder/<pid>/stat; nullopt when there is no such
// process or its line cannot be read.
std::optional<TProcStat> ReadProcStat(pid_t pid, const std::string& procFolder = kProcFolder);

struct TProcessEntry {
  pid_t Pid = 0;
  pid_t ParentPid = 0;
  // The executable's full path; empty when the process is not ours to ask
  // (another user's) or has no executable (a kernel thread).
  std::string ExePath;
  // The executable's file name: from ExePath, else the process's own
  // command name (which the kernel cuts at 15 characters).
  std::string ExeFile;
};

class TProcessSnapshot {
 public:
  // Reads the table now; an unreadable proc folder gives an empty one.
  explicit TProcessSnapshot(const std::string& procFolder = kProcFolder);

  bool Valid() const { return valid_; }
  // Entries in increasing process id.
  const std::vector<TProcessEntry>& Entries() const { return entries_; }
  // The entry of pid, or nullptr (borrowed from the snapshot).
  const TProcessEntry* Find(pid_t pid) const;

 private:
  std::vector<TProcessEntry> entries_;
  bool valid_ = false;
};

// The executable of one process: its full path when fullPath, else its file
// name; empty when the process does not exist or cannot be asked.
std::string ExecutableOfProcess(pid_t pid, bool fullPath, const std::string& procFolder = kProcFolder);

}  // namespace os
