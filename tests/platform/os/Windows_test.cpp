#include "platform/os/Windows.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/os/ShellApi.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::LogOf;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::StandIn;
using tk::test::WaitFor;
using tk::test::WriteFileBytes;

namespace {

std::optional<os::TWindowRecord> FindTitle(os::TWindowDirectory& dir, const std::string& title) {
  for (auto& r : dir.EnumWindows())
    if (r.Title == title) return r;
  return std::nullopt;
}

}  // namespace

TEST(WindowRecordTest, RoundTripAndMalformedTable) {
  os::TWindowRecord r;
  r.Handle = 42;
  r.Title = "Corvane\xE2\x98\x86 line\nbreak \\ back";
  r.ClassName = "TForm1";
  r.Visible = true;
  r.Owner = 7;
  r.Style = os::WS_POPUP | os::WS_SYSMENU;
  r.ExStyle = os::WS_EX_TOOLWINDOW;
  r.Pid = 1234;
  r.StartTime = 99;
  r.Exe = "/opt/a b/tarnwick";
  auto back = os::ParseWindowRecord(os::FormatWindowRecord(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Handle, 42u);
  EXPECT_EQ(back->Title, r.Title);
  EXPECT_EQ(back->ClassName, "TForm1");
  EXPECT_TRUE(back->Visible);
  EXPECT_EQ(back->Owner, 7u);
  EXPECT_EQ(back->Style, r.Style);
  EXPECT_EQ(back->ExStyle, r.ExStyle);
  EXPECT_EQ(back->Pid, 1234);
  EXPECT_EQ(back->StartTime, 99u);
  EXPECT_EQ(back->Exe, r.Exe);

  const std::string good = "tarnwick-window 1\nhandle=3\npid=5\n";
  ASSERT_TRUE(os::ParseWindowRecord(good));
  struct Case {
    const char* label;
    std::string bytes;
  } bad[] = {
      {"empty", ""},
      {"other magic", "tarnwick-window 2\nhandle=3\npid=5\n"},
      {"no handle", "tarnwick-window 1\npid=5\n"},
      {"zero handle", "tarnwick-window 1\nhandle=0\npid=5\n"},
      {"negative pid", "tarnwick-window 1\nhandle=3\npid=-5\n"},
      {"number with junk", "tarnwick-window 1\nhandle=3x\npid=5\n"},
      {"number too large", "tarnwick-window 1\nhandle=99999999999999999999999\npid=5\n"},
      {"line without =", good + "title\n"},
      {"last line unended", good + "title=x"},
      {"bad escape", good + "title=a\\q\n"},
      {"escape at end", good + "title=a\\\n"},
      {"visible not 0/1", good + "visible=yes\n"},
      {"too large", good + "title=" + std::string(os::TWindowDirectory::kMaxRecordBytes, 'x') + "\n"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(os::ParseWindowRecord(c.bytes));
  }
  EXPECT_TRUE(os::ParseWindowRecord(good + "later=unknown keys are skipped\n"));
}

TEST(WindowDirectoryTest, OwnWindowsInCreationOrder) {
  ScratchDir scratch;
  os::TWindowDirectory dir(scratch / "windows");
  EXPECT_TRUE(dir.EnumWindows().empty());  // no folder yet: no windows
  std::vector<std::string> got;
  auto handler = [&](const std::string& name) {
    return [&got, name](uint32_t msg, uint64_t wparam, os::TReply) {
      got.push_back(name + ":" + std::to_string(msg) + ":" + std::to_string(wparam));
    };
  };
  os::TWindowRecord r;
  r.Visible = true;
  r.Title = "one";
  os::HWND a = dir.CreateWindow(r, handler("one"));
  r.Title = "two";
  os::HWND b = dir.CreateWindow(r, handler("two"));
  r.Title = "three";
  os::HWND c = dir.CreateWindow(r, handler("three"));
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  struct stat st {};
  ASSERT_EQ(::stat(dir.Folder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  auto list = dir.EnumWindows();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Title, "one");
  EXPECT_EQ(list[2].Title, "three");
  EXPECT_EQ(list[1].Pid, static_cast<int>(::getpid()));
  EXPECT_EQ(list[1].Exe, fs::read_symlink("/proc/self/exe").string());

  // A second directory object over the same folder reads what the first
  // wrote: the way another process sees it.
  os::TWindowDirectory other(scratch / "windows");
  r = *dir.Find(b);
  r.Title = "two, renamed";
  r.Visible = false;
  dir.UpdateWindow(r);
  auto seen = other.Find(b);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->Title, "two, renamed");
  EXPECT_FALSE(seen->Visible);

  dir.DestroyWindow(b);
  list = other.EnumWindows();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Handle, a);
  EXPECT_EQ(list[1].Handle, c);
  EXPECT_FALSE(fs::exists(scratch / "windows" / (std::to_string(b) + ".sock")));

  // A window of this process gets the message directly.
  EXPECT_TRUE(dir.SendMessage(c, os::WM_SYSCOMMAND, os::SC_CLOSE));
  EXPECT_EQ(got, (std::vector<std::string>{"three:2:1"}));
  EXPECT_FALSE(dir.SendMessage(b, os::WM_CLOSE, 0));  // gone
}

TEST(WindowDirectoryTest, RecordsOfGoneProcessesAreDropped) {
  ScratchDir scratch;
  os::TWindowDirectory dir(scratch / "windows");
  os::TWindowRecord live;
  live.Title = "live";
  os::HWND h = dir.CreateWindow(live, nullptr);

  // A zombie (exited, not yet reaped), a pid reused by another process (our
  // own pid with another start time), and a record that is no record.
  pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  ASSERT_GT(zombie, 0);
  ASSERT_TRUE(WaitFor([&] { return !os::ProcessAlive(zombie, 0); }, 5000));
  struct Fake {
    os::HWND handle;
    int pid;
    uint64_t start;
  } fakes[] = {{h + 100, zombie, 0}, {h + 101, static_cast<int>(::getpid()), 1}};
  for (const auto& f : fakes) {
    os::TWindowRecord r;
    r.Handle = f.handle;
    r.Pid = f.pid;
    r.StartTime = f.start;
    r.Title = "stale";
    WriteFileBytes(scratch / "windows" / (std::to_string(f.handle) + ".win"), os::FormatWindowRecord(r));
    WriteFileBytes(scratch / "windows" / (std::to_string(f.handle) + ".sock"), "");
  }
  WriteFileBytes(scratch / "windows" / "77.win", "garbage");
  auto list = dir.EnumWindows();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].Title, "live");
  for (const auto& f : fakes) {
    EXPECT_FALSE(fs::exists(scratch / "windows" / (std::to_string(f.handle) + ".win")));
    EXPECT_FALSE(fs::exists(scratch / "windows" / (std::to_string(f.handle) + ".sock")));
  }
  int status = 0;
  ::waitpid(zombie, &status, 0);
}

TEST(WindowDirectoryTest, CloseCommandIsAnsweredAfterTheOwnerClosed) {
  ScratchDir scratch;
  os::TWindowDirectory dir(scratch / "windows");
  fs::path exe = StandIn(scratch / "app", "filing",
                         "title=Stand-in window\nclose_delay_ms=300\nwindir=" + dir.Folder().string() + "\n");
  int pid = tk::test::StartProcess({exe.string()});
  ASSERT_GT(pid, 0);
  std::optional<os::TWindowRecord> rec;
  ASSERT_TRUE(WaitFor([&] { return (rec = FindTitle(dir, "Stand-in window")).has_value(); }, 10000));
  EXPECT_EQ(rec->Pid, pid);
  EXPECT_EQ(rec->Exe, exe.string());
  EXPECT_TRUE(rec->Visible);
  EXPECT_EQ(LogOf(exe).find("closed"), std::string::npos);
  EXPECT_TRUE(dir.SendMessage(rec->Handle, os::WM_SYSCOMMAND, os::SC_CLOSE, 10000));
  // Answered only once the close handler had done its work.
  EXPECT_NE(LogOf(exe).find("closed\n"), std::string::npos);
  EXPECT_EQ(tk::test::WaitProcess(pid, 10000), 0);
  EXPECT_FALSE(FindTitle(dir, "Stand-in window"));
}

TEST(WindowDirectoryTest, KilledOwnerLeavesNoWindow) {
  ScratchDir scratch;
  os::TWindowDirectory dir(scratch / "windows");
  fs::path exe = StandIn(scratch / "app", "victim", "title=Victim\nwindir=" + dir.Folder().string() + "\n");
  int pid = tk::test::StartProcess({exe.string()});
  ASSERT_GT(pid, 0);
  std::optional<os::TWindowRecord> rec;
  ASSERT_TRUE(WaitFor([&] { return (rec = FindTitle(dir, "Victim")).has_value(); }, 10000));
  ::kill(pid, SIGKILL);
  EXPECT_EQ(tk::test::WaitProcess(pid, 10000), 128 + SIGKILL);
  EXPECT_FALSE(FindTitle(dir, "Victim"));
  EXPECT_FALSE(dir.SendMessage(rec->Handle, os::WM_CLOSE, 0, 1000));
  EXPECT_FALSE(fs::exists(dir.Folder() / (std::to_string(rec->Handle) + ".win")));
}

TEST(WindowDirectoryTest, FolderOpenToOthersIsClosed) {
  ScratchDir scratch;
  fs::create_directories(scratch / "windows");
  ::chmod((scratch / "windows").c_str(), 0755);
  os::TWindowDirectory dir(scratch / "windows");
  dir.CreateWindow(os::TWindowRecord{}, nullptr);
  struct stat st {};
  ASSERT_EQ(::stat((scratch / "windows").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(ShellExecuteTest, StartsTheProgramWithOneArgumentInItsFolder) {
  ScratchDir scratch;
  fs::path exe = StandIn(scratch / "my viewer", "viewer", "");
  const std::string arg = "/scans/a \"quoted\" name 'x'.tif";
  ASSERT_EQ(os::ShellExecute(exe.string(), {arg}, ""), 0);
  ASSERT_TRUE(WaitFor([&] { return LogOf(exe).find("arg=") != std::string::npos; }, 10000));
  EXPECT_EQ(LogOf(exe), "start cwd=" + (scratch / "my viewer").string() + "\nargc=1\narg=" + arg + "\n");

  EXPECT_EQ(os::ShellExecute((scratch / "missing").string(), {}, ""), ENOENT);
  WriteFileBytes(scratch / "plain", "not executable");
  EXPECT_EQ(os::ShellExecute((scratch / "plain").string(), {}, ""), EACCES);
}

TEST(ShellExecuteTest, AddressTable) {
  struct Case {
    const char* s;
    bool address;
  } cases[] = {{"http://example.org/", true},
               {"HTTPS://example.org", true},
               {"mailto:a@b.c", true},
               {"/usr/bin/viewer", false},
               {"http:/x", false},
               {"ftp://x", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.s);
    EXPECT_EQ(os::IsWebOrMailAddress(c.s), c.address);
  }
}
