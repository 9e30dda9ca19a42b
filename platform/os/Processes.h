// Processes started by argument vector, never through a shell.
//
// TProcess::Spawn starts a program and returns its handle; the handle polls
// it (a zero time-out answers at once, a longer one returns as soon as the
// process ends), reads its exit code and can kill it.
// A failed start returns nullptr and the system's error code (errno), which
// the callers show as "Exec Error <code>". The child gets no descriptors of
// ours beyond standard input, output and error, default signal handling and
// an empty signal mask.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace os {

inline constexpr uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
// The exit code of a process that is still running.
inline constexpr int STILL_ACTIVE = 259;

struct TProcessStartInfo {
  // The program: a path (relative paths are taken from our current folder,
  // not the child's working folder), or with SearchPath a name looked up on
  // PATH when it has no "/".
  std::string Program;
  bool SearchPath = false;
  // The whole argument vector, argument 0 included; empty means {Program}.
  std::vector<std::string> Args;
  // The child's current folder; empty keeps ours.
  std::string WorkingDir;
  // Files for standard input, output and error ("/dev/null" allowed);
  // empty keeps ours. Output files are created or truncated.
  std::string StdinFile;
  std::string StdoutFile;
  std::string StderrFile;
  // Puts the child into a process group of its own, so that Kill also ends
  // what it started, and what it leaves running (holding our standard
  // error, say) is ended when it ends.
  bool NewProcessGroup = false;
};

class TProcess {
 public:
  // nullptr on failure, with the error code in *error (and GetLastError()).
  static std::unique_ptr<TProcess> Spawn(const TProcessStartInfo& info, int* error = nullptr);

  // A process still running when its handle goes is not killed; it is
  // reaped later so that it leaves no zombie.
  ~TProcess();
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // WAIT_OBJECT_0 when the process has ended, WAIT_TIMEOUT when it is still
  // running after timeoutMs (0: just look; INFINITE: wait for the end).
  uint32_t Wait(uint32_t timeoutMs);
  bool Running() { return Wait(0) == WAIT_TIMEOUT; }
  // STILL_ACTIVE while running; the exit status; 128 + the signal number
  // for a process ended by a signal.
  int ExitCode();
  // The signal that ended the process, 0 if none.
  int TermSignal();
  // Sends SIGKILL (to the group with NewProcessGroup); true when sent or the
  // process had already ended.
  bool Kill();
  // Waits at most timeoutMs (0: just looks) until one of the processes has
  // ended; true as soon as one has (at once when one had already).
  static bool WaitAny(const std::vector<TProcess*>& processes, uint32_t timeoutMs);

 private:
  TProcess(pid_t pid, bool group);
  bool Reap(bool block);

  pid_t pid_;
  bool group_;
  // Readable once the process has ended, so that a wait wakes at its end
  // rather than at the next look; -1 where the kernel has none, and then
  // the wait looks in short steps.
  int endFd_ = -1;
  bool ended_ = false;
  int status_ = 0;
};

// The executable file (not a folder) named name in the first folder of PATH
// that holds one (an unset or empty PATH: /usr/local/bin:/usr/bin:/bin);
// empty when there is none.
std::string FindOnPath(const std::string& name);

// Reaps processes whose handles were dropped while they still ran; called
// by every Spawn, and by programs that want to at idle time.
void ReapOrphans();

}  // namespace os
