#include "platform/os/Processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "platform/rtl/SysUtils.h"

extern char** environ;

namespace os {

namespace {

std::mutex g_orphanMutex;
std::vector<pid_t> g_orphans;

// RAII holders of the spawn attributes.
struct Actions {
  posix_spawn_file_actions_t a;
  Actions() { posix_spawn_file_actions_init(&a); }
  ~Actions() { posix_spawn_file_actions_destroy(&a); }
};
struct Attrs {
  posix_spawnattr_t a;
  Attrs() { posix_spawnattr_init(&a); }
  ~Attrs() { posix_spawnattr_destroy(&a); }
};

void SleepMs(long ms) {
  struct timespec ts {
    ms / 1000, (ms % 1000) * 1000000L
  };
  nanosleep(&ts, nullptr);
}

uint64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int Fail(int e, int* error) {
  if (error) *error = e;
  rtl::SetLastError(e);
  return e;
}

}  // namespace

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    if (end > pos) {
      std::string candidate = rtl::IncludeTrailingPathDelimiter(dirs.substr(pos, end - pos)) + name;
      if (rtl::FileExists(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    pos = end + 1;
  }
  return {};
}

void ReapOrphans() {
  std::lock_guard<std::mutex> lock(g_orphanMutex);
  for (size_t i = 0; i < g_orphans.size();) {
    int st;
    pid_t r = ::waitpid(g_orphans[i], &st, WNOHANG);
    if (r == g_orphans[i] || (r < 0 && errno == ECHILD)) {
      g_orphans.erase(g_orphans.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

std::unique_ptr<TProcess> TProcess::Spawn(const TProcessStartInfo& info, int* error) {
  ReapOrphans();
  if (error) *error = 0;
  if (info.Program.empty()) {
    Fail(ENOENT, error);
    return nullptr;
  }
  std::string program = info.Program;
  bool search = info.SearchPath && program.find('/') == std::string::npos;
  // The child changes folder before it runs the program; a relative path
  // means ours.
  if (!search && program[0] != '/') program = rtl::ExpandFileName(program);

  std::vector<std::string> args = info.Args.empty() ? std::vector<std::string>{info.Program} : info.Args;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  Actions fa;
  if (!info.StdinFile.empty())
    posix_spawn_file_actions_addopen(&fa.a, 0, info.StdinFile.c_str(), O_RDONLY, 0);
  if (!info.StdoutFile.empty())
    posix_spawn_file_actions_addopen(&fa.a, 1, info.StdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!info.StderrFile.empty())
    posix_spawn_file_actions_addopen(&fa.a, 2, info.StderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!info.WorkingDir.empty()) posix_spawn_file_actions_addchdir_np(&fa.a, info.WorkingDir.c_str());
  // No inherited handles beyond the standard three.
  posix_spawn_file_actions_addclosefrom_np(&fa.a, 3);

  Attrs at;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  posix_spawnattr_setsigmask(&at.a, &none);
  posix_spawnattr_setsigdefault(&at.a, &all);
  if (info.NewProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&at.a, 0);
  }
  posix_spawnattr_setflags(&at.a, flags);

  pid_t pid = -1;
  int r = search ? posix_spawnp(&pid, program.c_str(), &fa.a, &at.a, argv.data(), environ)
                 : posix_spawn(&pid, program.c_str(), &fa.a, &at.a, argv.data(), environ);
  if (r != 0) {
    Fail(r, error);
    return nullptr;
  }
  return std::unique_ptr<TProcess>(new TProcess(pid, info.NewProcessGroup));
}

TProcess::TProcess(pid_t pid, bool group) : pid_(pid), group_(group) {
  // Opened close-on-exec: later children do not inherit it. (Called
  // directly: the C library's header of this release lacks C linkage.)
  endFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

TProcess::~TProcess() {
  if (endFd_ >= 0) ::close(endFd_);
  if (ended_ || Reap(false)) return;
  std::lock_guard<std::mutex> lock(g_orphanMutex);
  g_orphans.push_back(pid_);
}

bool TProcess::Reap(bool block) {
  if (ended_) return true;
  if (group_) {
    // While the ended leader is not yet reaped its number is still the
    // group's, so what it left running can be ended without any risk of
    // reaching a stranger that was given the number again.
    siginfo_t info{};
    int r;
    do {
      r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
    } while (r < 0 && errno == EINTR);
    if (r == 0 && info.si_pid == pid_) ::kill(-pid_, SIGKILL);
  }
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
    if (r == pid_) {
      ended_ = true;
      status_ = st;
      return true;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      // Reaped elsewhere (a SIGCHLD handler that waits for everything):
      // the process is gone and its status unknown.
      ended_ = true;
      status_ = 0;
      return true;
    }
    return false;
  }
}

uint32_t TProcess::Wait(uint32_t timeoutMs) {
  if (Reap(false)) return WAIT_OBJECT_0;
  if (timeoutMs == 0) return WAIT_TIMEOUT;
  if (timeoutMs == INFINITE) return Reap(true) ? WAIT_OBJECT_0 : WAIT_FAILED;
  uint64_t end = MonotonicMs() + timeoutMs;
  if (endFd_ >= 0) {
    // A signal cuts the poll short; the wait goes on to its end.
    struct pollfd p {
      endFd_, POLLIN, 0
    };
    for (uint64_t now = MonotonicMs(); now < end; now = MonotonicMs())
      if (::poll(&p, 1, static_cast<int>(std::min<uint64_t>(end - now, INT32_MAX))) > 0) break;
    if (Reap(false)) return WAIT_OBJECT_0;
  }
  long step = 1;
  while (MonotonicMs() < end) {
    SleepMs(step);
    if (Reap(false)) return WAIT_OBJECT_0;
    if (step < 10) ++step;
  }
  return WAIT_TIMEOUT;
}

bool TProcess::WaitAny(const std::vector<TProcess*>& processes, uint32_t timeoutMs) {
  std::vector<struct pollfd> ends;
  bool everyEndFd = true;
  for (TProcess* p : processes) {
    if (p->Reap(false)) return true;
    if (p->endFd_ >= 0)
      ends.push_back({p->endFd_, POLLIN, 0});
    else
      everyEndFd = false;
  }
  if (processes.empty() || timeoutMs == 0) return false;
  const uint64_t end = timeoutMs == INFINITE ? UINT64_MAX : MonotonicMs() + timeoutMs;
  long step = 1;
  for (uint64_t now = MonotonicMs(); now < end; now = MonotonicMs()) {
    // Without an end descriptor for each of them, the looks come in short
    // steps.
    const uint64_t left = everyEndFd ? end - now : static_cast<uint64_t>(step);
    if (::poll(ends.data(), ends.size(), static_cast<int>(std::min<uint64_t>(left, INT32_MAX))) < 0 &&
        errno != EINTR)
      SleepMs(step);
    for (TProcess* p : processes)
      if (p->Reap(false)) return true;
    if (step < 10) ++step;
  }
  return false;
}

int TProcess::ExitCode() {
  if (!Reap(false)) return STILL_ACTIVE;
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return 0;
}

int TProcess::TermSignal() {
  if (!Reap(false)) return 0;
  return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

bool TProcess::Kill() {
  if (Reap(false)) return true;
  // A group of our own ends with everything in it.
  if (group_ && ::kill(-pid_, SIGKILL) == 0) return true;
  return ::kill(pid_, SIGKILL) == 0 || errno == ESRCH;
}

}  // namespace os
