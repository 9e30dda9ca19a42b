#include "controls/FindWin.h"

#include <unistd.h>

#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using controls::TWinList;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

// Windows of this process in a window directory of the test's own.
class WinListTest : public ::testing::Test {
 protected:
  void SetUp() override { os::TWindowDirectory::SetDefaultFolder(scratch_ / "windows"); }
  void TearDown() override { os::TWindowDirectory::SetDefaultFolder({}); }
  os::HWND Make(const std::string& title, uint32_t style, bool visible = true, os::HWND owner = 0) {
    os::TWindowRecord r;
    r.Title = title;
    r.ClassName = "TTest";
    r.Style = style;
    r.Visible = visible;
    r.Owner = owner;
    return os::TWindowDirectory::Default().CreateWindow(r, nullptr);
  }
  static std::vector<std::string> Titles(const TWinList& l) {
    std::vector<std::string> t;
    for (int i = 0; i < l.WindowList().Count(); ++i) t.push_back(l.WindowList().Strings(i));
    return t;
  }
  ScratchDir scratch_;
};

const uint32_t kFrame = os::WS_CAPTION | os::WS_SYSMENU | os::WS_MINIMIZEBOX;

}  // namespace

TEST_F(WinListTest, FilterTable) {
  os::HWND main = Make("Main", kFrame);
  Make("Tool", os::WS_CAPTION, true, main);
  Make("Popup with boxes", os::WS_POPUP | os::WS_MINIMIZEBOX | os::WS_SYSMENU);
  Make("Bare popup", os::WS_POPUP);
  Make("Disabled popup", os::WS_POPUP | os::WS_MINIMIZEBOX | os::WS_SYSMENU | os::WS_DISABLED);
  Make("Hidden", kFrame, false);
  Make("", kFrame);
  struct Case {
    const char* label;
    controls::TFind_ID find;
    bool emptyNames;
    bool taskBar;
    std::vector<std::string> titles;
  } cases[] = {
      {"defaults", controls::id_VisOnly, false, true, {"Main", "Popup with boxes"}},
      {"all, any style",
       controls::id_All,
       false,
       false,
       {"Main", "Tool", "Popup with boxes", "Bare popup", "Disabled popup", "Hidden"}},
      {"invisible only", controls::id_InvisOnly, false, true, {"Hidden"}},
      {"with empty names", controls::id_VisOnly, true, true, {"Main", "Popup with boxes", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TWinList list;
    list.WhatDoFind = c.find;
    list.EmptyNames = c.emptyNames;
    list.TaskBarSty = c.taskBar;
    list.RefreshList();
    EXPECT_EQ(Titles(list), c.titles);
  }
}

TEST_F(WinListTest, RecordsAndChangeDetection) {
  TWinList list;
  EXPECT_EQ(list.WhatDoFind, controls::id_VisOnly);
  EXPECT_FALSE(list.EmptyNames);
  EXPECT_TRUE(list.TaskBarSty);
  EXPECT_EQ(list.TimerIntval(), 500);
  EXPECT_FALSE(list.EnableTimer());
  list.SetAbout("ignored");
  EXPECT_EQ(list.About(), "");

  os::HWND a = Make("Alpha", kFrame);
  os::HWND owner = Make("", kFrame);
  os::HWND b = Make("Beta", kFrame);
  list.TaskBarSty = false;
  list.RefreshList();
  EXPECT_TRUE(list.Rebuilt());
  ASSERT_EQ(Titles(list), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(list.WindowHandleAt(0), a);
  EXPECT_EQ(list.WindowHandleAt(1), b);
  EXPECT_THROW(list.WindowHandleAt(2), rtl::EStringListError);
  auto* info = static_cast<controls::TWinInfo*>(list.WindowList().Objects(0));
  EXPECT_EQ(info->OwnerTitle, "Desktop");
  EXPECT_EQ(info->ClassName, "TTest");
  EXPECT_EQ(info->ProcessId, static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(info->ThreadId, static_cast<uint32_t>(::getpid()));
  EXPECT_EQ(info->Style, kFrame);
  EXPECT_EQ(info->ExeFileName, fs::read_symlink("/proc/self/exe").filename().string());

  // Unchanged set: not rebuilt. Retitled window: the old line stays.
  os::TWindowRecord r = *os::TWindowDirectory::Default().Find(a);
  r.Title = "Alpha renamed";
  os::TWindowDirectory::Default().UpdateWindow(r);
  list.RefreshList();
  EXPECT_FALSE(list.Rebuilt());
  EXPECT_EQ(list.WindowList().Strings(0), "Alpha");

  // One gone and one new: the set changed.
  os::TWindowDirectory::Default().DestroyWindow(b);
  Make("Owned", kFrame, true, owner);
  list.RefreshList();
  EXPECT_TRUE(list.Rebuilt());
  ASSERT_EQ(Titles(list), (std::vector<std::string>{"Alpha renamed", "Owned"}));
  EXPECT_EQ(static_cast<controls::TWinInfo*>(list.WindowList().Objects(1))->OwnerTitle, "NoName");

  // State is per instance: a second list builds its own first list.
  TWinList second;
  second.TaskBarSty = false;
  second.RefreshList();
  EXPECT_TRUE(second.Rebuilt());
  EXPECT_EQ(Titles(second), Titles(list));
}

TEST_F(WinListTest, HoldsAnyNumberOfWindows) {
  for (int i = 0; i < 300; ++i) Make("W" + std::to_string(i), kFrame);
  TWinList list;
  list.RefreshList();
  ASSERT_EQ(list.WindowList().Count(), 300);
  EXPECT_EQ(list.WindowList().Strings(299), "W299");
  const std::string longTitle(300, 'x');
  Make(longTitle, kFrame);
  list.RefreshList();
  EXPECT_EQ(list.WindowList().Strings(300), std::string(TWinList::kMaxTitle, 'x'));
}

TEST_F(WinListTest, TimerRefreshesAndFiresOnChangedOnlyOnChange) {
  forms::TApplication app;
  app.SetPresenter(std::make_unique<forms::TScriptedPresenter>());
  TWinList list;
  int changed = 0;
  list.OnChanged = [&](rtl::TComponent*) { ++changed; };
  list.SetTimerIntval(10);
  list.SetEnableTimer(true);
  Make("First", kFrame);
  auto pumpFor = [&](int ms) {
    tk::test::WaitFor(
        [&] {
          app.ProcessMessages();
          return false;
        },
        ms);
  };
  pumpFor(100);
  EXPECT_EQ(changed, 1);  // the first build, then nothing new
  Make("Second", kFrame);
  pumpFor(100);
  EXPECT_EQ(changed, 2);
  list.SetTimerIntval(0);  // switches the timer off
  EXPECT_FALSE(list.EnableTimer());
  Make("Third", kFrame);
  pumpFor(60);
  EXPECT_EQ(changed, 2);
}

TEST_F(WinListTest, ListsAnotherProcessWindowByTitleAndClosesIt) {
  const fs::path exe = tk::test::StandIn(
      scratch_ / "app", "lumora_filing",
      "title=Lumora\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB0\n"
      "close_delay_ms=200\nwindir=" +
          (scratch_ / "windows").string() + "\n");
  int pid = tk::test::StartProcess({exe.string()});
  ASSERT_GT(pid, 0);
  TWinList list;
  int found = -1;
  ASSERT_TRUE(tk::test::WaitFor(
      [&] {
        list.RefreshList();
        for (int i = 0; i < list.WindowList().Count(); ++i)
          if (list.WindowList().Strings(i).find("Lumora") != std::string::npos) found = i;
        return found >= 0;
      },
      10000));
  auto* info = static_cast<controls::TWinInfo*>(list.WindowList().Objects(found));
  EXPECT_EQ(info->ProcessId, static_cast<uint32_t>(pid));
  EXPECT_EQ(info->ExeFileName, "lumora_filing");
  EXPECT_TRUE(os::TWindowDirectory::Default().SendMessage(list.WindowHandleAt(found), os::WM_SYSCOMMAND,
                                                          os::SC_CLOSE, 10000));
  EXPECT_NE(tk::test::ReadFileBytes(exe.string() + ".log").find("closed\n"), std::string::npos);
  EXPECT_EQ(tk::test::WaitProcess(pid, 10000), 0);
  list.RefreshList();
  EXPECT_TRUE(list.Rebuilt());
  EXPECT_EQ(list.WindowList().Count(), 0);
}
