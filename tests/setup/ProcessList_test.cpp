#include "setup/ProcessList.h"

#include <unistd.h>

#include "platform/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

// A window of this process in a directory of the test's own.
struct OwnWindow {
  explicit OwnWindow(const fs::path& folder) {
    os::TWindowDirectory::SetDefaultFolder(folder);
    os::TWindowRecord r;
    r.Title = "ScanSnap Manager";
    r.Visible = true;
    handle = os::TWindowDirectory::Default().CreateWindow(r, [](uint32_t, uint64_t, os::TReply) {});
  }
  ~OwnWindow() {
    os::TWindowDirectory::Default().DestroyWindow(handle);
    os::TWindowDirectory::SetDefaultFolder({});
  }
  os::HWND handle = 0;
};

// A made-up proc folder holding one process.
fs::path FakeProc(const fs::path& root, pid_t pid, const std::string& comm, const std::string& exeLink) {
  fs::path dir = root / std::to_string(pid);
  fs::create_directories(dir);
  WriteFileBytes(dir / "stat", std::to_string(pid) + " (" + comm + ") S 1 1 1\n");
  if (!exeLink.empty()) fs::create_symlink(exeLink, dir / "exe");
  return root;
}

}  // namespace

TEST(ProcessListTest, ListsThisProcessByPathAndByName) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  for (bool full : {true, false}) {
    SCOPED_TRACE(full);
    rtl::TStringList list;
    ASSERT_TRUE(setup::GetProcessList(list, full));
    int at = -1;
    for (int i = 0; i < list.Count(); ++i)
      if (static_cast<setup::TProcessId*>(list.Objects(i))->Pid == ::getpid()) at = i;
    ASSERT_GE(at, 0);
    EXPECT_EQ(list[at], full ? self : rtl::ExtractFileName(self));
    EXPECT_EQ(setup::ModuleNameOfProcess(::getpid(), full), list[at]);
  }
  rtl::TStringList list;
  ScratchDir scratch;
  EXPECT_FALSE(setup::GetProcessList(list, true, (scratch / "no-proc").string()));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(setup::ModuleNameOfProcess(0, true), "");
}

TEST(ProcessListTest, ExecutableBehindAWindow) {
  ScratchDir scratch;
  OwnWindow w(scratch / "windows");
  const pid_t me = ::getpid();
  struct Case {
    const char* label;
    os::HWND h;
    std::string proc;
    std::string want;
  } cases[] = {
      {"real table", w.handle, os::kProcFolder, fs::read_symlink("/proc/self/exe").string()},
      {"no window", w.handle + 1000, os::kProcFolder, ""},
      {"handle 0", 0, os::kProcFolder, ""},
      {"path known", w.handle, FakeProc(scratch / "p1", me, "scanner", "/opt/pfu/scanner").string(),
       "/opt/pfu/scanner"},
      // Only the command name is known: it is no path to start.
      {"process not ours to ask", w.handle, FakeProc(scratch / "p2", me, "scanner", "").string(), ""},
      {"process not listed", w.handle, FakeProc(scratch / "p3", me + 1, "other", "/bin/other").string(), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(setup::ExePathOfWindow(c.h, c.proc), c.want);
  }
}
