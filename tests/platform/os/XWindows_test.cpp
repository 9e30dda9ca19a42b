#include "platform/os/XWindows.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <sstream>

#include "platform/os/Windows.h"
#include "platform/rtl/CodePages.h"
#include "support/Desktop.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::EnvVar;
using tk::test::HelperDir;
using tk::test::ReadFileBytes;
using tk::test::RunTool;
using tk::test::ScratchDir;
using tk::test::StartProcess;
using tk::test::TestDesktop;
using tk::test::WaitFor;
using tk::test::WaitProcess;

namespace {

// The window manager's list as xprop reads it: the X window ids.
std::vector<uint32_t> OracleClientList() {
  std::vector<uint32_t> ids;
  std::string out = RunTool({"xprop", "-root", "_NET_CLIENT_LIST"}).out;
  size_t p = out.find('#');
  if (p == std::string::npos) return ids;
  std::stringstream ss(out.substr(p + 1));
  std::string item;
  while (std::getline(ss, item, ','))
    if (item.find("0x") != std::string::npos)
      ids.push_back(static_cast<uint32_t>(std::stoul(item, nullptr, 16)));
  return ids;
}

bool OracleListed(uint32_t id) {
  for (uint32_t w : OracleClientList())
    if (w == id) return true;
  return false;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// One run of the foreign window helper, ended with the object.
struct Foreign {
  int pid = -1;
  uint32_t top = 0;
  uint32_t child = 0;

  Foreign(const fs::path& scratch, std::vector<std::string> args) {
    static int n = 0;
    fs::path ready = scratch / ("ready-" + std::to_string(++n));
    std::vector<std::string> argv = {(HelperDir() / "tk_x_window").string(), "--ready", ready.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid = StartProcess(argv);
    if (pid <= 0 || !WaitFor([&] { return fs::exists(ready); }, 5000)) return;
    std::stringstream(ReadFileBytes(ready)) >> top >> child;
    // Managed once the window manager lists it (and its dialog).
    WaitFor([&] { return OracleListed(top) && (!child || OracleListed(child)); }, 5000);
  }
  ~Foreign() {
    if (pid <= 0) return;
    int code = 0;
    if (!tk::test::TryWaitProcess(pid, code)) {
      ::kill(pid, SIGTERM);
      WaitProcess(pid, 3000);
    }
  }
  Foreign(const Foreign&) = delete;
  Foreign& operator=(const Foreign&) = delete;
};

std::optional<os::TWindowRecord> Listed(os::HWND h) {
  for (auto& r : os::AllWindows())
    if (r.Handle == h) return r;
  return std::nullopt;
}

// Each test on a desktop of its own, which it reads whole.
class XWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TK_REQUIRE_TOOL("xprop");
    TK_REQUIRE_TOOL("xdotool");
    TK_REQUIRE_DESKTOP(desk);
    display_.emplace("DISPLAY", desk.Name().c_str());
  }
  TestDesktop desk;
  ScratchDir scratch;

 private:
  std::optional<EnvVar> display_;
};

}  // namespace

TEST(TestDesktopTest, ForeignWindowIsManagedAndClosedThroughTheWindowManager) {
  TK_REQUIRE_TOOL("wmctrl");
  ScratchDir scratch;
  std::string display;
  {
    TestDesktop desk;
    TK_REQUIRE_DESKTOP(desk);
    display = desk.Name();
    EnvVar env("DISPLAY", display.c_str());
    int pid = StartProcess({(HelperDir() / "tk_x_window").string(), "--title", "Corvane probe"});
    ASSERT_GT(pid, 0);
    auto listed = [&] {
      std::string list = RunTool({"wmctrl", "-lp"}).out;
      return list.find(" " + std::to_string(pid) + " ") != std::string::npos &&
             list.find("Corvane probe") != std::string::npos;
    };
    EXPECT_TRUE(WaitFor(listed, 5000)) << RunTool({"wmctrl", "-lp"}).out;
    EXPECT_EQ(RunTool({"wmctrl", "-c", "Corvane probe"}).exitCode, 0);
    EXPECT_EQ(WaitProcess(pid, 5000), 0) << "the window did not take the window manager's close";
    EXPECT_TRUE(tk::test::WindowManagerRunning(display));
  }
  EXPECT_FALSE(tk::test::WindowManagerRunning(display)) << "the desktop outlived its object";
}

TEST_F(XWindowsTest, WindowListAgainstTheWindowManagersOwnTable) {
  Foreign plain(scratch.path(), {"--title", "Mirelle scans"});
  Foreign japanese(scratch.path(), {"--title", "Lumoraファイリング ☆"});
  Foreign iconic(scratch.path(), {"--title", "Minimised one", "--iconic"});
  Foreign owner(scratch.path(), {"--title", "Owner window", "--child", "Its dialog"});
  Foreign claimed(scratch.path(), {"--title", "Claims pid one", "--pid", "1"});
  ASSERT_TRUE(plain.top && japanese.top && iconic.top && owner.child && claimed.top);

  struct Case {
    const char* label;
    uint32_t id;
    std::string title;
    bool visible;
    uint32_t owner;
    int pid;
  } cases[] = {
      {"plain", plain.top, "Mirelle scans", true, 0, plain.pid},
      {"UTF-8 title", japanese.top, "Lumoraファイリング ☆", true, 0, japanese.pid},
      {"minimised", iconic.top, "Minimised one", false, 0, iconic.pid},
      {"owner", owner.top, "Owner window", true, 0, owner.pid},
      {"transient dialog", owner.child, "Its dialog", true, owner.top, owner.pid},
      {"claimed pid", claimed.top, "Claims pid one", true, 0, 1},
  };
  // The same windows, in the manager's order, as the manager's own list.
  std::vector<uint32_t> ours;
  for (const auto& r : os::AllWindows())
    if (os::IsXWindowHandle(r.Handle)) ours.push_back(static_cast<uint32_t>(r.Handle));
  EXPECT_EQ(ours, OracleClientList());

  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const os::HWND h = os::kXWindowFlag | c.id;
    const std::string id = std::to_string(c.id);
    auto r = Listed(h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Title, c.title);
    EXPECT_EQ(r->Title, Trimmed(RunTool({"xdotool", "getwindowname", id}).out));
    // The oracle's search matches bytes in its own locale: by the ASCII head.
    std::string head;
    for (char ch : c.title) {
      if (static_cast<unsigned char>(ch) >= 0x80) break;
      head += ch;
    }
    EXPECT_NE(RunTool({"xdotool", "search", "--name", head}).out.find(id + "\n"), std::string::npos);
    EXPECT_EQ(r->Pid, c.pid);
    EXPECT_EQ(std::to_string(r->Pid), Trimmed(RunTool({"xdotool", "getwindowpid", id}).out));
    std::string state = RunTool({"xprop", "-id", id, "_NET_WM_STATE"}).out;
    EXPECT_EQ(r->Visible, state.find("_NET_WM_STATE_HIDDEN") == std::string::npos) << state;
    EXPECT_EQ(r->Visible, c.visible);
    EXPECT_EQ(r->Owner, c.owner ? (os::kXWindowFlag | c.owner) : 0);
    EXPECT_EQ(r->ClassName, "TkXWindow");
    // The window system's calls see the same.
    EXPECT_TRUE(os::IsWindow(h));
    EXPECT_EQ(os::GetWindowText(h), c.title);
    EXPECT_EQ(os::GetParent(h), r->Owner);
    uint32_t pid = 0;
    os::GetWindowThreadProcessId(h, &pid);
    EXPECT_EQ(pid, static_cast<uint32_t>(c.pid));
  }
  EXPECT_EQ(Listed(os::kXWindowFlag | plain.top)->Exe, (HelperDir() / "tk_x_window").string());
  {
    // A title in the system code page: Shift-JIS when that is the code page.
    tk::test::SystemCodePage sjis(932);
    EXPECT_EQ(os::GetWindowText(os::kXWindowFlag | japanese.top),
              rtl::WideToMultiByte(u"Lumoraファイリング ☆", 932));
  }
}

TEST_F(XWindowsTest, CloseAsksTheWindowManagerAndWaitsUntilTheWindowWent) {
  Foreign w(scratch.path(), {"--title", "ScanSnap Manager"});
  ASSERT_TRUE(w.top);
  const os::HWND h = os::kXWindowFlag | w.top;
  EXPECT_TRUE(os::SendMessage(h, os::WM_SYSCOMMAND, os::SC_CLOSE, 5000));
  EXPECT_FALSE(OracleListed(w.top));
  EXPECT_FALSE(os::IsWindow(h));
  EXPECT_EQ(WaitProcess(w.pid, 5000), 0) << "the helper did not end on the close";
  w.pid = -1;
  // Gone windows and other messages are refused.
  EXPECT_FALSE(os::SendMessage(h, os::WM_CLOSE, 0, 100));
  Foreign other(scratch.path(), {"--title", "Stays"});
  EXPECT_FALSE(os::SendMessage(os::kXWindowFlag | other.top, 99, 0, 100));
  EXPECT_TRUE(OracleListed(other.top));
}

TEST_F(XWindowsTest, OurOwnShownWindowIsListedOnceByItsDirectoryRecord) {
  os::TWindowRecord rec;
  rec.Title = "Corvane☆ for Lumoraファイリング";
  rec.Visible = true;
  os::HWND own = os::TWindowDirectory::Default().CreateWindow(rec, nullptr);
  // The display's copy of it: same process, same title.
  Foreign shown(scratch.path(), {"--title", rec.Title, "--pid", std::to_string(::getpid())});
  Foreign stranger(scratch.path(), {"--title", rec.Title});
  ASSERT_TRUE(shown.top && stranger.top);
  int ownCount = 0, strangerCount = 0, shownCount = 0;
  for (const auto& r : os::AllWindows()) {
    ownCount += r.Handle == own;
    shownCount += r.Handle == (os::kXWindowFlag | shown.top);
    strangerCount += r.Handle == (os::kXWindowFlag | stranger.top);
  }
  EXPECT_EQ(ownCount, 1);
  EXPECT_EQ(shownCount, 0);
  EXPECT_EQ(strangerCount, 1) << "another program's window of the same title is its own";
  os::TWindowDirectory::Default().DestroyWindow(own);
}

// A window that carries the directory handle is that record's, whatever
// its title or process says; a handle that names no record of ours leaves
// the window another program's.
TEST_F(XWindowsTest, AWindowCarryingADirectoryHandleIsListedOnceByThatRecord) {
  os::TWindowRecord rec;
  rec.Title = "Corvane☆ for Lumoraファイリング";
  rec.Visible = true;
  const os::HWND own = os::TWindowDirectory::Default().CreateWindow(rec, nullptr);
  Foreign marked(scratch.path(), {"--title", "a title the record does not have"});
  Foreign stale(scratch.path(), {"--title", "stale"});
  ASSERT_TRUE(marked.top && stale.top);
  const os::HWND markedX = os::kXWindowFlag | marked.top;
  const os::HWND staleX = os::kXWindowFlag | stale.top;
  os::TXDisplay& display = os::TXDisplay::Default();
  EXPECT_EQ(display.DirectoryHandleOf(markedX), 0u);
  ASSERT_TRUE(display.SetDirectoryHandle(markedX, own));
  ASSERT_TRUE(display.SetDirectoryHandle(staleX, own + (os::HWND{7} << 32)));
  // The oracle reads the two halves, low first.
  const std::string prop =
      RunTool({"xprop", "-id", std::to_string(marked.top), os::kDirectoryHandleProperty}).out;
  EXPECT_NE(prop.find("= " + std::to_string(own & 0xFFFFFFFFu) + ", " + std::to_string(own >> 32)),
            std::string::npos)
      << prop;
  EXPECT_EQ(display.DirectoryHandleOf(markedX), own);
  EXPECT_EQ(display.DirectoryHandleOf(staleX), own + (os::HWND{7} << 32));
  EXPECT_FALSE(display.SetDirectoryHandle(own, own)) << "a directory handle is no X window";
  int ownCount = 0, markedCount = 0, staleCount = 0;
  for (const auto& r : os::AllWindows()) {
    ownCount += r.Handle == own;
    markedCount += r.Handle == markedX;
    staleCount += r.Handle == staleX;
  }
  EXPECT_EQ(ownCount, 1);
  EXPECT_EQ(markedCount, 0);
  EXPECT_EQ(staleCount, 1);
  os::TWindowDirectory::Default().DestroyWindow(own);
}

TEST_F(XWindowsTest, WithoutAWindowManagerTheTitledWindowsAreListedAndAskedToCloseThemselves) {
  Foreign w(scratch.path(), {"--title", "ScanSnap Manager"});
  ASSERT_TRUE(w.top);
  desk.StopWindowManager();
  os::TXDisplay display;
  ASSERT_TRUE(WaitFor([&] { return display.Connected() && !display.HasWindowManager(); }, 5000));
  const os::HWND h = os::kXWindowFlag | w.top;
  auto r = display.Find(h);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Title, "ScanSnap Manager");
  EXPECT_TRUE(r->Visible);
  EXPECT_EQ(r->Pid, w.pid);
  // The close goes to the client itself, which takes it and ends.
  EXPECT_TRUE(display.CloseWindow(h, 5000));
  EXPECT_EQ(WaitProcess(w.pid, 5000), 0);
  w.pid = -1;
  EXPECT_FALSE(display.Find(h));
}

TEST(XDisplayTest, WithoutAReachableDisplayThereAreNoForeignWindows) {
  struct Case {
    const char* label;
    const char* display;
  } cases[] = {{"unset", nullptr}, {"empty", ""}, {"no server", ":65000"}, {"garbage", ":x.y"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EnvVar env("DISPLAY", c.display);
    EXPECT_FALSE(os::XDisplayReachable());
    os::TXDisplay display;
    EXPECT_FALSE(display.Connected());
    EXPECT_TRUE(display.ClientWindows().empty());
    EXPECT_FALSE(display.CloseWindow(os::kXWindowFlag | 0x400000u, 10));
    EXPECT_FALSE(os::IsWindow(os::kXWindowFlag | 0x400000u));
  }
}
