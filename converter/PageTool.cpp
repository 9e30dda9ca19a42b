#include "converter/PageTool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/rtl/SysUtils.h"

extern char** environ;

namespace converter {

std::string FindPageTool(const std::string& workFolder) {
  std::string local = rtl::IncludeTrailingPathDelimiter(workFolder) + kPageToolName;
  if (rtl::FileExists(local) && ::access(local.c_str(), X_OK) == 0) return local;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      std::string candidate = rtl::IncludeTrailingPathDelimiter(dir) + kPageToolName;
      if (rtl::FileExists(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return {};
}

std::vector<std::string> TPageTool::Arguments(const std::string& program) {
  return {program, "-j", "$$temp$$.pdf", "$$temp$$"};
}

TPageTool::~TPageTool() {
  if (pid_ > 0) Kill();
}

void TPageTool::Start(const std::string& workFolder) {
  std::string program = FindPageTool(workFolder);
  if (program.empty()) throw rtl::Exception("Exec Error " + rtl::IntToStr(ENOENT));
  std::vector<std::string> args = Arguments(program);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The tool reads nothing from us and its chatter is not ours to show.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addchdir_np(&actions, workFolder.c_str());
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw rtl::Exception("Exec Error " + rtl::IntToStr(rc));
  pid_ = pid;
  exitCode_ = -1;
}

bool TPageTool::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid_ = -1;
  return false;
}

void TPageTool::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exitCode_ = 128 + SIGKILL;
  pid_ = -1;
}

}  // namespace converter
