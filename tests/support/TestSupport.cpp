#include "support/TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tk::test {

namespace fs = std::filesystem;

namespace {

// Tests never meet the user's own windows: the windows tests show, and the
// programs they start, share a window directory of this test run, and run
// headless unless a test hands them a desktop of its own (support/Desktop.h).
struct RunFolder {
  fs::path path;
  pid_t owner = ::getpid();
  RunFolder() {
    path = fs::temp_directory_path() / ("tk-run-" + std::to_string(owner));
    std::error_code ec;
    fs::create_directories(path, ec);
    ::chmod(path.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
  }
  ~RunFolder() {
    if (::getpid() != owner) return;
    std::error_code ec;
    fs::remove_all(path, ec);
  }
} g_runFolder;

}  // namespace

fs::path DataDir() {
  return fs::path(TK_SOURCE_DIR) / "tests" / "data";
}

fs::path RunDir() {
  return fs::path(TK_BINARY_DIR) / "run";
}

fs::path CorpusDir() {
  if (const char* env = std::getenv("TK_CORPUS"); env && *env) return env;
  return fs::path(TK_SOURCE_DIR).parent_path() / "shared" / "corpus";
}

bool CorpusAvailable() {
  return fs::is_directory(CorpusDir());
}

bool UnderCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

bool HaveTool(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::stringstream ss(path);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (dir.empty()) continue;
    fs::path p = fs::path(dir) / name;
    if (::access(p.c_str(), X_OK) == 0) return true;
  }
  return false;
}

ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input) {
  ToolResult result;
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    result.err = "spawn failed";
    return result;
  }
  size_t written = 0;
  if (input.empty()) {
    ::close(inPipe[1]);
    inPipe[1] = -1;
  }
  pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {inPipe[1], POLLOUT, 0}};
  int open = 2;
  char buf[65536];
  while (open > 0 || fds[2].fd >= 0) {
    if (::poll(fds, 3, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
        ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        } else {
          (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        }
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = ::write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) {
        ::close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

fs::path SourceDir() {
  return TK_SOURCE_DIR;
}

fs::path BuildDir() {
  return TK_BINARY_DIR;
}

User OrdinaryUser() {
  if (::geteuid() == 0) return {65534, 65534};
  return {::geteuid(), ::getegid()};
}

void GiveTo(const fs::path& p, User user) {
  if (user.uid == ::geteuid()) return;
  if (::lchown(p.c_str(), user.uid, user.gid) != 0) throw std::runtime_error("cannot chown " + p.string());
  if (!fs::is_directory(fs::symlink_status(p))) return;
  for (const auto& e : fs::recursive_directory_iterator(p))
    if (::lchown(e.path().c_str(), user.uid, user.gid) != 0)
      throw std::runtime_error("cannot chown " + e.path().string());
}

namespace {

// In a child after fork: becomes user, or ends the child.
void BecomeUser(User user) {
  if (user.uid == ::geteuid()) return;
  if (::setgroups(0, nullptr) != 0 || ::setgid(user.gid) != 0 || ::setuid(user.uid) != 0) ::_exit(126);
}

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

ToolResult RunAs(User user, const std::vector<std::string>& argv, const RunOptions& options) {
  ToolResult result;
  // Everything the child needs is made before the fork: after it, the
  // child only calls what is safe there.
  std::vector<char*> args = CStrings(argv), env = CStrings(options.env);
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  int master = -1;
  std::string slave;
  if (options.terminal) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
      throw std::runtime_error("no pseudo-terminal");
    slave = ::ptsname(master);
  } else if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (options.terminal) {
      ::setsid();
      // The first terminal a session leader opens becomes its own.
      int fd = ::open(slave.c_str(), O_RDWR);
      if (fd < 0) ::_exit(126);
      if (user.uid != ::geteuid() && ::fchown(fd, user.uid, user.gid) != 0) ::_exit(126);
      ::dup2(fd, 0), ::dup2(fd, 1), ::dup2(fd, 2);
      if (fd > 2) ::close(fd);
    } else {
      ::dup2(in[0], 0), ::dup2(out[1], 1), ::dup2(err[1], 2);
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    BecomeUser(user);
    ::execve(args[0], args.data(), env.data());
    ::_exit(127);
  }
  std::string input = options.input;
  int writeFd = master, readFds[2] = {master, -1};
  if (!options.terminal) {
    ::close(in[0]), ::close(out[1]), ::close(err[1]);
    writeFd = in[1];
    readFds[0] = out[0];
    readFds[1] = err[0];
  }
  // A terminal takes the whole answer at once; a pipe is closed after it.
  size_t written = 0;
  while (written < input.size()) {
    ssize_t n = ::write(writeFd, input.data() + written, input.size() - written);
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (!options.terminal) ::close(in[1]);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  bool killed = false;
  pollfd fds[2] = {{readFds[0], POLLIN, 0}, {readFds[1], POLLIN, 0}};
  char buf[65536];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      // A terminal whose last user went reads as EIO.
      if (n <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string CallAs(User user, const std::function<std::string()>& fn) {
  int p[2];
  if (pipe2(p, O_CLOEXEC)) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(p[0]);
    BecomeUser(user);
    const std::string r = fn();
    for (size_t done = 0; done < r.size();) {
      ssize_t n = ::write(p[1], r.data() + done, r.size() - done);
      if (n <= 0) ::_exit(1);
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(p[1]);
  std::string r;
  char buf[4096];
  for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    r.append(buf, static_cast<size_t>(n));
  }
  ::close(p[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("the child process failed");
  return r;
}

fs::path HelperDir() {
  return fs::path(TK_BINARY_DIR) / "tests" / "helpers";
}

fs::path StandIn(const fs::path& folder, const std::string& name, const std::string& conf) {
  fs::create_directories(folder);
  fs::path exe = folder / name;
  fs::copy_file(HelperDir() / "tk_stand_in", exe, fs::copy_options::overwrite_existing);
  if (!conf.empty()) WriteFileBytes(exe.string() + ".conf", conf);
  return exe;
}

std::string LogOf(const fs::path& exe) {
  fs::path p = exe.string() + ".log";
  return fs::exists(p) ? ReadFileBytes(p) : std::string();
}

EnvVar::EnvVar(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value)
    ::setenv(name_.c_str(), value, 1);
  else
    ::unsetenv(name_.c_str());
}

EnvVar::~EnvVar() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

size_t Count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

int StartProcess(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& errFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (!errFile.empty())
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? static_cast<int>(pid) : -1;
}

int WaitProcess(int pid, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (waited >= timeoutMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    ::usleep(10 * 1000);
  }
}

bool ProcessGone(int pid) {
  if (::kill(pid, 0) != 0) return true;
  const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return stat.empty() || (close != std::string::npos && stat.compare(close, 3, ") Z") == 0);
}

bool TryWaitProcess(int pid, int& exitCode) {
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return false;
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    if (cond()) return true;
    if (waited >= timeoutMs) return false;
    ::usleep(10 * 1000);
  }
}

std::string ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + p.string());
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

ScratchDir::ScratchDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path p = fs::temp_directory_path() / ("tk-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace tk::test
