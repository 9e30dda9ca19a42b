#include "platform/os/Processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/rtl/Classes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace {

using os::TProcess;
using os::TProcessStartInfo;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;

TProcessStartInfo Sh(const std::string& script) {
  TProcessStartInfo i;
  i.Program = "/bin/sh";
  i.Args = {"sh", "-c", script};
  return i;
}

TEST(Processes, ExitCodesAndPolling) {
  struct Case {
    const char* script;
    int exitCode;
  } cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -TERM $$", 128 + SIGTERM}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto p = TProcess::Spawn(Sh(c.script));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Wait(os::INFINITE), os::WAIT_OBJECT_0);
    EXPECT_EQ(p->ExitCode(), c.exitCode);
    EXPECT_EQ(p->Wait(0), os::WAIT_OBJECT_0);  // stays ended
  }
}

TEST(Processes, AZeroTimeOutAnswersAtOnceWhileTheChildRuns) {
  ScratchDir d;
  std::string gate = (d / "gate").string();
  // The child runs until the test lets it go.
  auto p = TProcess::Spawn(Sh("while [ ! -e '" + gate + "' ]; do sleep 0.01; done; exit 7"));
  ASSERT_NE(p, nullptr);
  uint64_t t0 = rtl::TSystemClock().TickCount();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p->Wait(0), os::WAIT_TIMEOUT);
  EXPECT_LT(rtl::TSystemClock().TickCount() - t0, 1000u);
  EXPECT_TRUE(p->Running());
  EXPECT_EQ(p->ExitCode(), os::STILL_ACTIVE);
  EXPECT_EQ(p->Wait(30), os::WAIT_TIMEOUT);
  tk::test::WriteFileBytes(gate, "");
  ASSERT_TRUE(tk::test::WaitFor([&] { return p->Wait(0) != os::WAIT_TIMEOUT; }, 10000));
  EXPECT_EQ(p->ExitCode(), 7);
}

TEST(Processes, ArgumentsArriveWholeAndTheWorkingFolderIsSet) {
  ScratchDir d;
  ScratchDir work;
  std::string out = (d / "out.txt").string();
  TProcessStartInfo i;
  i.Program = "/bin/sh";
  // No shell of ours: blanks, quotes and $ reach the child as they are.
  i.Args = {"sh", "-c", "pwd; for a in \"$@\"; do echo \"[$a]\"; done", "sh", "a b", "it's", "$HOME",
            "*",  ""};
  i.WorkingDir = work.path().string();
  i.StdoutFile = out;
  i.StderrFile = "/dev/null";
  auto p = TProcess::Spawn(i);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->Wait(os::INFINITE), os::WAIT_OBJECT_0);
  EXPECT_EQ(p->ExitCode(), 0);
  std::string real = std::filesystem::canonical(work.path()).string();
  EXPECT_EQ(ReadFileBytes(out), real + "\n[a b]\n[it's]\n[$HOME]\n[*]\n[]\n");
}

TEST(Processes, StandardErrorGoesToItsFileAndNoDescriptorsLeak) {
  ScratchDir d;
  rtl::TFileStream keep((d / "open.bin").string(), rtl::fmCreate);  // a descriptor of ours
  TProcessStartInfo i = Sh("echo err >&2; ls /proc/self/fd | wc -l");
  i.StdoutFile = (d / "o").string();
  i.StderrFile = (d / "e").string();
  i.StdinFile = "/dev/null";
  auto p = TProcess::Spawn(i);
  ASSERT_NE(p, nullptr);
  p->Wait(os::INFINITE);
  EXPECT_EQ(ReadFileBytes(d / "e"), "err\n");
  // 0, 1, 2 and the one ls opens to read the folder.
  EXPECT_EQ(rtl::Trim(ReadFileBytes(d / "o")), "4");
}

TEST(Processes, FailedStartsGiveTheErrorCode) {
  ScratchDir d;
  tk::test::WriteFileBytes(d / "notexec", "#!/bin/sh\n");
  struct Case {
    std::string program;
    std::string workingDir;
    int error;
  } cases[] = {
      {"/nonexistent/program", "", ENOENT},
      {(d / "notexec").string(), "", EACCES},
      {"/bin/true", (d / "missing-folder").string(), ENOENT},
      {"", "", ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program + " in " + c.workingDir);
    TProcessStartInfo i;
    i.Program = c.program;
    i.WorkingDir = c.workingDir;
    int err = 0;
    EXPECT_EQ(TProcess::Spawn(i, &err), nullptr);
    EXPECT_EQ(err, c.error);
    EXPECT_EQ(rtl::GetLastError(), c.error);
  }
}

TEST(Processes, RelativeProgramsAndThePath) {
  // A relative program is ours, not the child's working folder's.
  ScratchDir d;
  ScratchDir other;
  tk::test::WriteFileBytes(d / "tool", "#!/bin/sh\nexit 5\n");
  ::chmod((d / "tool").c_str(), 0755);
  std::string old = rtl::GetCurrentDir();
  ASSERT_TRUE(rtl::SetCurrentDir(d.path().string()));
  TProcessStartInfo i;
  i.Program = "tool";
  i.WorkingDir = other.path().string();
  auto p = TProcess::Spawn(i);
  ASSERT_TRUE(rtl::SetCurrentDir(old));
  ASSERT_NE(p, nullptr);
  p->Wait(os::INFINITE);
  EXPECT_EQ(p->ExitCode(), 5);

  TProcessStartInfo s;
  s.Program = "true";
  s.SearchPath = true;
  auto q = TProcess::Spawn(s);
  ASSERT_NE(q, nullptr);
  q->Wait(os::INFINITE);
  EXPECT_EQ(q->ExitCode(), 0);
}

TEST(Processes, WhatAGroupLeaderLeavesRunningEndsWithIt) {
  ScratchDir d;
  std::string pidFile = (d / "grandchild").string();
  TProcessStartInfo i = Sh("sleep 30 & echo $! > '" + pidFile + "'");
  i.NewProcessGroup = true;
  auto p = TProcess::Spawn(i);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->Wait(10000), os::WAIT_OBJECT_0);
  EXPECT_EQ(p->ExitCode(), 0);
  pid_t grandchild = rtl::StrToInt(rtl::Trim(ReadFileBytes(pidFile)));
  EXPECT_TRUE(tk::test::WaitFor([&] { return tk::test::ProcessGone(grandchild); }, 5000));
}

TEST(Processes, KillEndsTheChildAndItsGroup) {
  ScratchDir d;
  std::string pidFile = (d / "grandchild").string();
  TProcessStartInfo i = Sh("sleep 30 & echo $! > '" + pidFile + "'; wait");
  i.NewProcessGroup = true;
  auto p = TProcess::Spawn(i);
  ASSERT_NE(p, nullptr);
  auto written = [&] {
    if (!rtl::FileExists(pidFile)) return false;
    std::string t = ReadFileBytes(pidFile);
    return !t.empty() && t.back() == '\n';
  };
  ASSERT_TRUE(tk::test::WaitFor(written, 10000));
  pid_t grandchild = rtl::StrToInt(rtl::Trim(ReadFileBytes(pidFile)));
  EXPECT_TRUE(p->Kill());
  EXPECT_EQ(p->Wait(5000), os::WAIT_OBJECT_0);
  EXPECT_EQ(p->TermSignal(), SIGKILL);
  EXPECT_EQ(p->ExitCode(), 128 + SIGKILL);
  // The sleep was in the group: it is gone too (it was reparented, so only
  // its absence can be checked).
  EXPECT_TRUE(tk::test::WaitFor([&] { return tk::test::ProcessGone(grandchild); }, 2000));
  EXPECT_TRUE(p->Kill());  // already ended: still fine
}

TEST(Processes, ADroppedHandleLeavesNoZombie) {
  pid_t pid;
  {
    auto p = TProcess::Spawn(Sh("sleep 0.05"));
    ASSERT_NE(p, nullptr);
    pid = p->Pid();
  }
  // Reaped once it has ended, however long a busy machine takes to end it.
  const bool reaped = tk::test::WaitFor(
      [&] {
        os::ReapOrphans();
        return ::kill(pid, 0) != 0;
      },
      10000);
  EXPECT_TRUE(reaped);
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
