#include <gtest/gtest.h>

#include "support/Desktop.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::HelperDir;
using tk::test::RunTool;
using tk::test::ScratchDir;
using tk::test::StartProcess;
using tk::test::TestDesktop;
using tk::test::WaitFor;
using tk::test::WaitProcess;

TEST(TestDesktopTest, ForeignWindowIsManagedAndClosedThroughTheWindowManager) {
  TK_REQUIRE_TOOL("wmctrl");
  ScratchDir scratch;
  std::string display;
  {
    TestDesktop desk;
    TK_REQUIRE_DESKTOP(desk);
    display = desk.Name();
    tk::test::EnvVar env("DISPLAY", display.c_str());
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
