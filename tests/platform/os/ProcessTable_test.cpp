#include "platform/os/ProcessTable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/os/Processes.h"
#include "platform/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace {

using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

TEST(ProcessTable, ListsOurselvesAndAChildWithTheirExecutables) {
  os::TProcessStartInfo i;
  i.Program = "/bin/sleep";
  i.Args = {"sleep", "5"};
  auto child = os::TProcess::Spawn(i);
  ASSERT_NE(child, nullptr);
  os::TProcessSnapshot snap;
  ASSERT_TRUE(snap.Valid());
  const os::TProcessEntry* me = snap.Find(::getpid());
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(me->ExePath, rtl::ExecutableFileName());
  EXPECT_EQ(me->ExeFile, rtl::ExtractFileName(me->ExePath));
  EXPECT_EQ(me->ParentPid, ::getppid());
  const os::TProcessEntry* c = snap.Find(child->Pid());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->ExeFile, "sleep");
  EXPECT_EQ(c->ParentPid, ::getpid());
  EXPECT_EQ(os::ExecutableOfProcess(child->Pid(), false), "sleep");
  EXPECT_EQ(os::ExecutableOfProcess(child->Pid(), true), c->ExePath);
  for (size_t k = 1; k < snap.Entries().size(); ++k)
    EXPECT_LT(snap.Entries()[k - 1].Pid, snap.Entries()[k].Pid);
  child->Kill();
  child->Wait(os::INFINITE);
  // Each snapshot is the table at its own moment.
  EXPECT_NE(snap.Find(child->Pid()), nullptr);
  EXPECT_EQ(os::TProcessSnapshot().Find(child->Pid()), nullptr);
  EXPECT_EQ(os::ExecutableOfProcess(child->Pid(), true), "");
}

TEST(ProcessTable, AMadeUpProcFolder) {
  // Entries whose executable is not ours to read keep their command name;
  // odd names and broken entries are handled.
  ScratchDir d;
  auto proc = d.path();
  std::filesystem::create_directories(proc / "10");
  WriteFileBytes(proc / "10/stat", "10 (my (odd) name) S 1 10 10 0");
  std::filesystem::create_symlink("/opt/scan/ScanMon (deleted)", proc / "10/exe");
  std::filesystem::create_directories(proc / "7");
  WriteFileBytes(proc / "7/stat", "7 (kworker/0:1) I 2 0 0 0");
  std::filesystem::create_directories(proc / "8");
  WriteFileBytes(proc / "8/stat", "garbage");
  std::filesystem::create_directories(proc / "self");
  std::filesystem::create_directories(proc / "12x");
  os::TProcessSnapshot snap(proc.string());
  ASSERT_EQ(snap.Entries().size(), 2u);
  EXPECT_EQ(snap.Entries()[0].Pid, 7);
  EXPECT_EQ(snap.Entries()[0].ExeFile, "kworker/0:1");
  EXPECT_EQ(snap.Entries()[0].ExePath, "");
  EXPECT_EQ(snap.Entries()[0].ParentPid, 2);
  const os::TProcessEntry* e = snap.Find(10);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ExePath, "/opt/scan/ScanMon");
  EXPECT_EQ(e->ExeFile, "ScanMon");
  EXPECT_EQ(e->ParentPid, 1);
  EXPECT_EQ(snap.Find(8), nullptr);
  EXPECT_EQ(os::ExecutableOfProcess(10, true, proc.string()), "/opt/scan/ScanMon");
  EXPECT_EQ(os::ExecutableOfProcess(0, true, proc.string()), "");
  EXPECT_FALSE(os::TProcessSnapshot((proc / "none").string()).Valid());
}

TEST(ProcessTable, StatLinesAreReadFromTheLastParenthesis) {
  // Fields 3 to 22 of a real line: state, parent, ... and the start time.
  const std::string tail = " 1 10 10 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 ";
  struct Case {
    const char* name;
    std::string line;
    bool parsed;
    pid_t pid;
    std::string comm;
    char state;
    pid_t parent;
    std::optional<uint64_t> start;
  } cases[] = {
      {"plain", "42 (sleep) S" + tail + "1 2\n", true, 42, "sleep", 'S', 1, 987654},
      {"blanks and parentheses", "43 (a) b (c) d) Z" + tail + "1\n", true, 43, "a) b (c) d", 'Z', 1, 987654},
      {"empty name", "44 () R" + tail, true, 44, "", 'R', 1, 987654},
      {"short line: no start time", "45 (kworker/0:1) I 2 0 0 0", true, 45, "kworker/0:1", 'I', 2,
       std::nullopt},
      {"no parent", "46 (x) S", true, 46, "x", 'S', 0, std::nullopt},
      {"no state", "47 (x)", false, 0, "", 0, 0, std::nullopt},
      {"state of two letters", "48 (x) SS 1", false, 0, "", 0, 0, std::nullopt},
      {"no name", "49 S 1 2 3", false, 0, "", 0, 0, std::nullopt},
      {"reversed parentheses", "50 )x( S 1", false, 0, "", 0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto st = os::ParseProcStat(c.line);
    ASSERT_EQ(st.has_value(), c.parsed);
    if (!st) continue;
    EXPECT_EQ(st->Pid, c.pid);
    EXPECT_EQ(st->Comm, c.comm);
    EXPECT_EQ(st->State, c.state);
    EXPECT_EQ(st->ParentPid, c.parent);
    EXPECT_EQ(st->StartTime, c.start);
  }
  // Our own line, against what the kernel says elsewhere.
  const auto me = os::ReadProcStat(::getpid());
  ASSERT_TRUE(me.has_value());
  EXPECT_EQ(me->Pid, ::getpid());
  EXPECT_EQ(me->ParentPid, ::getppid());
  EXPECT_TRUE(me->StartTime.has_value());
  EXPECT_FALSE(os::ReadProcStat(0).has_value());
}

}  // namespace
