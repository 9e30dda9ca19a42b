// A desktop for the tests that need one: an X server (Xvfb) with a window
// manager (openbox) on it.
//
// Tests run headless: the test support clears DISPLAY and WAYLAND_DISPLAY
// for every test process, so nothing a test starts reaches the user's own
// desktop. A test that needs a display asks for one here and hands its name
// to what it starts (DISPLAY=<Name()>).
//
// A private desktop is one server and one window manager for the object's
// lifetime; the server picks a free display number (-displayfd), so test
// runs side by side never meet. The shared desktop is the one CI started
// for the whole run (TK_TEST_DISPLAY); where there is none it is a private
// one, started once per test process. Take the shared one when the other
// windows on it do not matter, a private one when the test reads the whole
// window manager's list or moves the pointer.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "support/TestSupport.h"

namespace tk::test {

class TestDesktop {
 public:
  // How long the server and the window manager get to come up.
  static constexpr int kStartTimeoutMs = 15000;
  static constexpr int kWindowManagerTries = 3;

  // Starts Xvfb and openbox; Ok() tells whether both came up.
  TestDesktop();
  ~TestDesktop();
  TestDesktop(const TestDesktop&) = delete;
  TestDesktop& operator=(const TestDesktop&) = delete;

  // The shared desktop (see above); borrowed, lives until the process ends.
  static TestDesktop& Shared();
  // A private desktop of this test process, started at the first call;
  // borrowed, lives until the process ends. For tests that move the pointer
  // or type: another test's window on a shared desktop may come up over
  // the window a drag aims at, or take the keyboard's focus.
  static TestDesktop& Private();

  bool Ok() const { return !display_.empty(); }
  // Why the desktop could not be started.
  const std::string& Why() const { return why_; }
  // The display's name, as DISPLAY takes it (":42").
  const std::string& Name() const { return display_; }
  // The window manager's process; 0 for CI's desktop.
  int WindowManagerPid() const { return wmPid_; }
  // Ends the window manager of a private desktop, leaving the bare server
  // (for what clients do without one).
  void StopWindowManager();

 private:
  explicit TestDesktop(std::string display);
  bool StartServer();
  bool StartWindowManager();

  std::string display_;
  std::string why_;
  int serverPid_ = 0;
  int wmPid_ = 0;
  std::unique_ptr<ScratchDir> home_;  // the window manager's settings and cache
};

// True when the window manager has announced itself on the display
// (_NET_SUPPORTING_WM_CHECK on the root window).
bool WindowManagerRunning(const std::string& display);
// True once the window manager takes a newly mapped window into its list;
// waits up to timeoutMs for that.
bool WindowManagerManaging(const std::string& display, int timeoutMs);

}  // namespace tk::test

// Skips the test (or fails it under CI) when the desktop could not be
// started.
#define TK_REQUIRE_DESKTOP(desk)                                                    \
  do {                                                                              \
    if (!(desk).Ok()) {                                                             \
      if (::tk::test::UnderCI()) FAIL() << "no desktop under CI: " << (desk).Why(); \
      GTEST_SKIP() << "no desktop: " << (desk).Why();                               \
    }                                                                               \
  } while (0)
