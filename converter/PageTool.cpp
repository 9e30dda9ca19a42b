#include "converter/PageTool.h"

#include <unistd.h>

#include <cerrno>

#include "platform/rtl/SysUtils.h"

namespace converter {

std::string FindPageTool(const std::string& workFolder) {
  std::string local = rtl::IncludeTrailingPathDelimiter(workFolder) + kPageToolName;
  if (rtl::FileExists(local) && ::access(local.c_str(), X_OK) == 0) return local;
  return os::FindOnPath(kPageToolName);
}

std::vector<std::string> TPageTool::Arguments(const std::string& program) {
  return {program, "-j", kPageToolInput, kPageToolOutputRoot};
}

TPageTool::~TPageTool() { Kill(); }

void TPageTool::Start(const std::string& workFolder) {
  os::TProcessStartInfo info;
  info.Program = FindPageTool(workFolder);
  if (info.Program.empty()) throw rtl::Exception("Exec Error " + rtl::IntToStr(ENOENT));
  info.Args = Arguments(info.Program);
  info.WorkingDir = workFolder;
  // The tool reads nothing from us and its chatter is not ours to show.
  info.StdinFile = "/dev/null";
  info.StdoutFile = "/dev/null";
  int error = 0;
  process_ = os::TProcess::Spawn(info, &error);
  if (!process_) throw rtl::Exception("Exec Error " + rtl::IntToStr(error));
  exitCode_ = -1;
}

bool TPageTool::Running() {
  if (!process_) return false;
  if (process_->Wait(0) == os::WAIT_TIMEOUT) return true;
  exitCode_ = process_->ExitCode();
  process_.reset();
  return false;
}

void TPageTool::Wait(uint32_t ms) {
  if (process_) process_->Wait(ms);
}

void TPageTool::Kill() {
  if (!process_) return;
  process_->Kill();
  process_->Wait(os::INFINITE);
  exitCode_ = process_->ExitCode();
  process_.reset();
}

}  // namespace converter
