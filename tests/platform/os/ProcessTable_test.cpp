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

}  // namespace
