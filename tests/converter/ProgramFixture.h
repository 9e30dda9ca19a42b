// The program itself, run as a process from a copy of the run folder.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include "ConverterFixture.h"

namespace tk::test::converter {

struct ProgramRun {
  int exitCode = -1;
  bool signalled = false;  // had to be stopped with a signal
  std::string err;
};

// Waits up to waitMs for a started run; then it is sent sig (SIGTERM as a
// user's ^C or a session's end, SIGHUP as a closed terminal), and killed if
// it still does not end. Its standard error was sent to errFile.
inline ProgramRun FinishProgram(int pid, const fs::path& errFile, int waitMs, int sig = SIGTERM) {
  ProgramRun result;
  if (pid < 0) return result;
  auto ended = [&] { return TryWaitProcess(pid, result.exitCode); };
  if (!WaitFor(ended, waitMs)) {
    result.signalled = true;
    ::kill(pid, sig);
    if (!WaitFor(ended, 10000)) result.exitCode = WaitProcess(pid, 0);
  }
  result.err = ReadFileBytes(errFile);
  return result;
}

inline int StartProgram(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
                        const fs::path& errFile) {
  std::vector<std::string> argv{exe.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return StartProcess(argv, cwd, errFile);
}

// Waits until the started run shows its window: from then on it takes a
// termination signal as a close (before, the signal's default ends it).
inline bool WaitForWindow(int pid, int waitMs) {
  return WaitFor(
      [&] {
        for (const auto& r : os::TWindowDirectory::Default().EnumWindows())
          if (r.Pid == pid && r.Visible) return true;
        return false;
      },
      waitMs);
}

// Runs the program in cwd, its standard error into cwd/stderr.txt.
inline ProgramRun RunProgram(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd,
                             int waitMs, int sig = SIGTERM) {
  const fs::path errFile = cwd / "stderr.txt";
  return FinishProgram(StartProgram(exe, args, cwd, errFile), errFile, waitMs, sig);
}

class Tarnwick : public ConverterFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(RunDir() / "tarnwick")) << "build the tarnwick target first";
    fs::copy_file(RunDir() / "tarnwick", run / "tarnwick", fs::copy_options::overwrite_existing);
    exe = run / "tarnwick";
  }
  fs::path exe;
};

}  // namespace tk::test::converter
