#include "converter/PageTool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "converter/Rw_ini.h"
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

TPageTool::~TPageTool() {
  Kill();
}

void TPageTool::Start(const std::string& workFolder) {
  os::TProcessStartInfo info;
  // A tool put beside the work folders serves every converter.
  info.Program = FindPageTool(WorkRoot());
  if (info.Program.empty())
    throw rtl::Exception("Exec Error " + rtl::IntToStr(ENOENT) + ": the page tool " + kPageToolName +
                         " (Debian package " + kPageToolPackage + ") was not found");
  info.Args = Arguments(info.Program);
  info.WorkingDir = workFolder;
  // The tool reads nothing from us and its chatter is not ours to show.
  info.StdinFile = "/dev/null";
  info.StdoutFile = "/dev/null";
  // What the tool starts goes with it when it has to be ended, and so does
  // its hold on our standard error.
  info.NewProcessGroup = true;
  int error = 0;
  process_ = os::TProcess::Spawn(info, &error);
  if (!process_)
    throw rtl::Exception("Exec Error " + rtl::IntToStr(error) + ": " + info.Program + ": " +
                         std::strerror(error));
  exitCode_ = -1;
  termSignal_ = 0;
}

bool TPageTool::Running() {
  if (!process_) return false;
  if (process_->Wait(0) == os::WAIT_TIMEOUT) return true;
  exitCode_ = process_->ExitCode();
  termSignal_ = process_->TermSignal();
  process_.reset();
  return false;
}

std::string TPageTool::Failure(int page) const {
  const std::string head = std::string("Page tool error: ") + kPageToolName;
  const std::string where = " on page " + rtl::IntToStr(page);
  if (termSignal_ != 0)
    return head + " crashed" + where + " (signal " + rtl::IntToStr(termSignal_) + ": " +
           ::strsignal(termSignal_) + ")";
  if (exitCode_ != 0) return head + " failed" + where + " (exit status " + rtl::IntToStr(exitCode_) + ")";
  return "";
}

void TPageTool::Wait(uint32_t ms) {
  if (process_) process_->Wait(ms);
}

void TPageTool::Kill() {
  if (!process_) return;
  process_->Kill();
  process_->Wait(os::INFINITE);
  exitCode_ = process_->ExitCode();
  termSignal_ = process_->TermSignal();
  process_.reset();
}

}  // namespace converter
