// The program on a real desktop (Xvfb with openbox: CI's, else one of this
// test's own; one such test at a time, since the pointer is moved): its window in the window manager's list,
// the window manager's close, a drop from a file manager and a drag out into one. The file manager is the
// tests' drag helper; the hand is xdotool.
#include "support/Desktop.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "../ConverterFixture.h"
#include "platform/os/XWindows.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

// Time the program gets for a whole batch of the sample under the
// sanitizers.
constexpr int kBatchTimeoutMs = 120000;
constexpr int kWindowTimeoutMs = 30000;

class DesktopRun : public ConverterFixture {
 protected:
  void SetUp() override {
    if (!tk::test::HaveTool("xdotool") || !tk::test::HaveTool("wmctrl")) {
      if (UnderCI()) FAIL() << "xdotool and wmctrl are needed under CI";
      GTEST_SKIP() << "xdotool or wmctrl not installed";
    }
    // A desktop of its own: the drags and clicks below must land on the
    // windows they aim at, whatever other tests show meanwhile.
    desk = &TestDesktop::Private();
    TK_REQUIRE_DESKTOP(*desk);
    display.emplace("DISPLAY", desk->Name().c_str());
    headless.emplace("TK_HEADLESS", nullptr);
    fs::copy_file(RunDir() / "tarnwick", run / "tarnwick", fs::copy_options::overwrite_existing);
    exe = run / "tarnwick";
  }
  void TearDown() override {
    for (int pid : pids)
      if (int code; !TryWaitProcess(pid, code)) {
        ::kill(pid, SIGTERM);
        WaitProcess(pid, 10000);
      }
  }

  // The process has ended and been waited for.
  void Forget(int pid) { pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end()); }
  int Start(const std::vector<std::string>& argv, const fs::path& errFile) {
    int pid = StartProcess(argv, docs, errFile);
    if (pid > 0) pids.push_back(pid);
    return pid;
  }
  // The window manager's id of the window with exactly this title; empty
  // until it is listed.
  static std::string ListedWindow(const std::string& title) {
    ToolResult r = RunTool({"wmctrl", "-l"});
    size_t at = 0;
    for (size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1) {
      std::string line = r.out.substr(at, nl - at);
      if (line.size() > title.size() && line.compare(line.size() - title.size(), title.size(), title) == 0)
        return line.substr(0, line.find(' '));
    }
    return {};
  }
  static std::string WaitWindow(const std::string& title) {
    std::string id;
    WaitFor([&] { return !(id = ListedWindow(title)).empty(); }, kWindowTimeoutMs);
    return id;
  }
  // A window's client size, from xdotool.
  static std::pair<int, int> Size(const std::string& id) {
    ToolResult r = RunTool({"xdotool", "getwindowgeometry", std::to_string(std::stoul(id, nullptr, 16))});
    int w = 0, h = 0;
    if (size_t g = r.out.find("Geometry: "); g != std::string::npos)
      std::sscanf(r.out.c_str() + g, "Geometry: %dx%d", &w, &h);
    return {w, h};
  }
  // Presses the left button at (x, y) of window from and moves in steps
  // to (tx, ty) of window to, the button still held.
  static void Hold(const std::string& from, int x, int y, const std::string& to, int tx, int ty) {
    const std::string f = std::to_string(std::stoul(from, nullptr, 16));
    const std::string t = std::to_string(std::stoul(to, nullptr, 16));
    RunTool({"xdotool",
             "mousemove",
             "--sync",
             "--window",
             f,
             std::to_string(x),
             std::to_string(y),
             "sleep",
             "0.3",
             "mousedown",
             "1",
             "sleep",
             "0.2",
             "mousemove_relative",
             "--sync",
             "15",
             "15",
             "sleep",
             "0.2",
             "mousemove_relative",
             "--sync",
             "20",
             "20",
             "sleep",
             "0.2",
             "mousemove",
             "--window",
             t,
             std::to_string(tx - 10),
             std::to_string(ty - 10),
             "sleep",
             "0.3",
             "mousemove",
             "--window",
             t,
             std::to_string(tx),
             std::to_string(ty),
             "sleep",
             "0.5"});
  }
  static void LetGo() { RunTool({"xdotool", "mouseup", "1"}); }
  // The same, letting go at (tx, ty).
  static void Drag(const std::string& from, int x, int y, const std::string& to, int tx, int ty) {
    Hold(from, x, y, to, tx, ty);
    LetGo();
  }
  static bool Said(const fs::path& log, const std::string& line) {
    return ReadFileBytes(log).find(line + "\n") != std::string::npos;
  }

  TestDesktop* desk = nullptr;
  std::optional<EnvVar> display;
  std::optional<EnvVar> headless;
  fs::path exe;
  std::vector<int> pids;
};

TEST_F(DesktopRun, TheMainWindowIsListedWithItsCaptionAndTheWindowManagersCloseSavesItsSettings) {
  Ini("[Pos]\nTop=120\nLeft=100\n");
  const int pid = Start({exe.string()}, scratch.path() / "tarnwick.err");
  ASSERT_GT(pid, 0);
  const std::string id = WaitWindow(::converter::kMainCaption);
  ASSERT_FALSE(id.empty()) << ReadFileBytes(scratch.path() / "tarnwick.err");
  // Where the settings put it, then where the user moves it.
  ToolResult where = RunTool({"xwininfo", "-id", id});
  int x = -1, y = -1;
  if (size_t at = where.out.find("Absolute upper-left X:"); at != std::string::npos)
    std::sscanf(where.out.c_str() + at, "Absolute upper-left X: %d Absolute upper-left Y: %d", &x, &y);
  EXPECT_NEAR(x, 100, 40) << where.out;
  EXPECT_NEAR(y, 120, 40) << where.out;
  // The window names its record in the window directory, for the window
  // list to give it once.
  uint64_t low = 0, high = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string prop = RunTool({"xprop", "-id", id, os::kDirectoryHandleProperty}).out;
        const size_t eq = prop.find("= ");
        return eq != std::string::npos && std::sscanf(prop.c_str() + eq, "= %lu, %lu", &low, &high) == 2;
      },
      kWindowTimeoutMs));
  EXPECT_TRUE(fs::exists(scratch.path() / "runtime" / "tarnwick-windows" /
                         (std::to_string(high << 32 | low) + ".win")))
      << low << " " << high;
  RunTool({"xdotool", "windowmove", "--sync", std::to_string(std::stoul(id, nullptr, 16)), "300", "200"});
  RunTool({"wmctrl", "-i", "-c", id});
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs))
      << ReadFileBytes(scratch.path() / "tarnwick.err");
  Forget(pid);
  EXPECT_EQ(code, 0);
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  // The frame's corner, wherever the window manager draws its border.
  EXPECT_NEAR(ini.ReadInteger("Pos", "Left", -1), 300, 40);
  EXPECT_NEAR(ini.ReadInteger("Pos", "Top", -1), 200, 40);
}

TEST_F(DesktopRun, ATerminationSignalEndsTheProgramWhileAMessageWaitsForAnAnswer) {
  // A name that is no file is said in a message box, which nobody answers.
  const int pid = Start({exe.string(), "missing.pdf"}, scratch.path() / "tarnwick.err");
  ASSERT_GT(pid, 0);
  ASSERT_FALSE(WaitWindow("Error").empty()) << ReadFileBytes(scratch.path() / "tarnwick.err");
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs))
      << ReadFileBytes(scratch.path() / "tarnwick.err");
  Forget(pid);
  EXPECT_EQ(code, 1);
  // It closed as a close does: its settings saved.
  EXPECT_TRUE(fs::exists(run / "tarnwick.ini"));
}

TEST_F(DesktopRun, AFileDroppedFromAFileManagerIsConverted) {
  TK_REQUIRE_TOOL("tiffinfo");
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "dropped scan.pdf");
  ASSERT_GT(Start({exe.string()}, scratch.path() / "tarnwick.err"), 0);
  const std::string main = WaitWindow(::converter::kMainCaption);
  ASSERT_FALSE(main.empty()) << ReadFileBytes(scratch.path() / "tarnwick.err");
  const fs::path log = scratch.path() / "source.log";
  ASSERT_GT(
      Start({(HelperDir() / "tk_drag_files").string(), "source", (docs / "dropped scan.pdf").string()}, log),
      0);
  ASSERT_TRUE(WaitFor([&] { return Said(log, "ready"); }, kWindowTimeoutMs)) << ReadFileBytes(log);
  const std::string source = ListedWindow("tk drag source");
  ASSERT_FALSE(source.empty());

  // Onto the file list, on the page control's first page.
  Drag(source, 100, 75, main, 100, 100);
  // The file manager is let go at once; the batch runs afterwards.
  EXPECT_TRUE(WaitFor([&] { return Said(log, "drag copy"); }, kWindowTimeoutMs)) << ReadFileBytes(log);
  const fs::path tif = docs / "dropped scan.tif";
  ASSERT_TRUE(
      WaitFor([&] { return fs::exists(tif) && !fs::exists(docs / "dropped scan.pdf"); }, kBatchTimeoutMs))
      << ReadFileBytes(scratch.path() / "tarnwick.err");
  ToolResult info = RunTool({"tiffinfo", tif.string()});
  EXPECT_EQ(Count(info.out, "TIFF Directory"), 4u) << info.out << info.err;
}

TEST_F(DesktopRun, ADragFromTheDragPanelOffersTheTiffsAndAMoveByTheTargetIsSeen) {
  TK_REQUIRE_TOOL("tiffinfo");
  // Drag mode: the window stays after the batch, for the drag.
  Ini("[Mode]\nDD=1\n");
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "scan.pdf");
  const int pid = Start({exe.string(), (docs / "scan.pdf").string()}, scratch.path() / "tarnwick.err");
  ASSERT_GT(pid, 0);
  const std::string main = WaitWindow(::converter::kMainCaption);
  ASSERT_FALSE(main.empty()) << ReadFileBytes(scratch.path() / "tarnwick.err");
  const fs::path tif = docs / "scan.tif";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(tif) && !fs::exists(docs / "scan.pdf"); }, kBatchTimeoutMs))
      << ReadFileBytes(scratch.path() / "tarnwick.err");

  const fs::path taken = scratch.path() / "taken";
  fs::create_directories(taken);
  const fs::path log = scratch.path() / "target.log";
  ASSERT_GT(Start({(HelperDir() / "tk_drag_files").string(), "target", "move", taken.string()}, log), 0);
  ASSERT_TRUE(WaitFor([&] { return Said(log, "ready"); }, kWindowTimeoutMs)) << ReadFileBytes(log);
  const std::string target = ListedWindow("tk drop target");
  ASSERT_FALSE(target.empty());

  // The drag panel fills the bottom of the window, around the progress bar.
  const auto [w, h] = Size(main);
  ASSERT_GT(h, 60);
  // A batch that has only just ended may still be running its last steps:
  // the panel starts no drag meanwhile, so the hand tries again.
  for (int attempt = 0; attempt < 5 && !Said(log, "dropped move"); ++attempt) {
    Drag(main, w / 2, h - 40, target, 100, 75);
    WaitFor([&] { return Said(log, "dropped move"); }, 5000);
  }
  const std::string said = ReadFileBytes(log);
  EXPECT_NE(said.find("uri file://" + tif.string() + "\n"), std::string::npos) << said;
  ASSERT_NE(said.find("dropped move"), std::string::npos) << said;
  EXPECT_TRUE(fs::exists(taken / "scan.tif"));

  // The list forgot the moved file: the log written at the close names none.
  RunTool({"wmctrl", "-i", "-c", main});
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs));
  Forget(pid);
  EXPECT_EQ(code, 0) << ReadFileBytes(scratch.path() / "tarnwick.err");
  rtl::TIniFile produced((run / "tarnwick.log").string());
  EXPECT_EQ(produced.ReadString("File", "Logs0", ""), "") << ReadFileBytes(scratch.path() / "tarnwick.err");
}

// The TIFFs dragged from the drag panel are let go over the window's own
// file list, a few centimetres above: the window does not take them (a
// batch over them would delete the files it was given; Qt's drag onto its
// own window would not even end), the drag ends there, and the window
// closes as ever.
TEST_F(DesktopRun, TiffsDraggedOntoTheirOwnWindowStayAndTheDragEnds) {
  TK_REQUIRE_TOOL("tiffinfo");
  Ini("[Mode]\nDD=1\n");
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "scan.pdf");
  const fs::path err = scratch.path() / "tarnwick.err";
  const int pid = Start({exe.string(), (docs / "scan.pdf").string()}, err);
  ASSERT_GT(pid, 0);
  const std::string main = WaitWindow(::converter::kMainCaption);
  ASSERT_FALSE(main.empty()) << ReadFileBytes(err);
  const fs::path tif = docs / "scan.tif";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(tif) && !fs::exists(docs / "scan.pdf"); }, kBatchTimeoutMs))
      << ReadFileBytes(err);
  // First a drag over another program's target, given up with Escape: the
  // panel starts drags now (the batch's last steps are over).
  const fs::path log = scratch.path() / "target.log";
  ASSERT_GT(Start({(HelperDir() / "tk_drag_files").string(), "target"}, log), 0);
  ASSERT_TRUE(WaitFor([&] { return Said(log, "ready"); }, kWindowTimeoutMs)) << ReadFileBytes(log);
  const std::string target = ListedWindow("tk drop target");
  ASSERT_FALSE(target.empty());
  const auto [w, h] = Size(main);
  for (int attempt = 0; attempt < 5 && !Said(log, "enter"); ++attempt) {
    Hold(main, w / 2, h - 40, target, 100, 75);
    WaitFor([&] { return Said(log, "enter"); }, 15000);
    RunTool({"xdotool", "key", "Escape"});
    LetGo();
  }
  ASSERT_TRUE(Said(log, "enter")) << ReadFileBytes(log);
  // Then the drag that never leaves the window: up from the panel's caption
  // into the file list.
  const std::string m = std::to_string(std::stoul(main, nullptr, 16));
  RunTool({"xdotool",
           "mousemove",
           "--sync",
           "--window",
           m,
           std::to_string(w / 2),
           std::to_string(h - 54),
           "sleep",
           "0.3",
           "mousedown",
           "1",
           "sleep",
           "0.2",
           "mousemove_relative",
           "15",
           "-15",
           "sleep",
           "0.2",
           "mousemove_relative",
           "20",
           "-40",
           "sleep",
           "0.3",
           "mousemove",
           "--window",
           m,
           std::to_string(w / 2 - 20),
           "140",
           "sleep",
           "0.3",
           "mousemove",
           "--window",
           m,
           std::to_string(w / 2 - 10),
           "150",
           "sleep",
           "0.5"});
  LetGo();

  RunTool({"wmctrl", "-i", "-c", main});
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs)) << ReadFileBytes(err);
  Forget(pid);
  EXPECT_EQ(code, 0) << ReadFileBytes(err);
  EXPECT_TRUE(fs::exists(tif));
}

// While the user drags the TIFFs out (Qt's drag loop runs), the setup
// utility closes the program: the close is answered during the drag, and
// the program ends.
TEST_F(DesktopRun, ACloseFromAnotherProgramIsAnsweredDuringADrag) {
  TK_REQUIRE_TOOL("tiffinfo");
  Ini("[Mode]\nDD=1\n");
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "scan.pdf");
  const fs::path err = scratch.path() / "tarnwick.err";
  const int pid = Start({exe.string(), (docs / "scan.pdf").string()}, err);
  ASSERT_GT(pid, 0);
  const std::string main = WaitWindow(::converter::kMainCaption);
  ASSERT_FALSE(main.empty()) << ReadFileBytes(err);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(docs / "scan.tif") && !fs::exists(docs / "scan.pdf"); },
                      kBatchTimeoutMs))
      << ReadFileBytes(err);
  const fs::path log = scratch.path() / "target.log";
  ASSERT_GT(Start({(HelperDir() / "tk_drag_files").string(), "target"}, log), 0);
  ASSERT_TRUE(WaitFor([&] { return Said(log, "ready"); }, kWindowTimeoutMs)) << ReadFileBytes(log);
  const std::string target = ListedWindow("tk drop target");
  ASSERT_FALSE(target.empty());
  const auto [w, h] = Size(main);
  for (int attempt = 0; attempt < 5 && !Said(log, "enter"); ++attempt) {
    Hold(main, w / 2, h - 40, target, 100, 75);
    // A loaded machine may take its time to start the drag: the button is
    // held until then (a drop would end the target).
    if (!WaitFor([&] { return Said(log, "enter"); }, 15000)) LetGo();
  }
  ASSERT_TRUE(Said(log, "enter")) << ReadFileBytes(log);

  const fs::path closer =
      StandIn(scratch.path(), "closer",
              std::string("close_title=") + ::converter::kMainCaption + "\nwindir=" +
                  (scratch.path() / "runtime" / "tarnwick-windows").string() + "\nclose_wait_ms=5000\n");
  const int closing = StartProcess({closer.string()});
  ASSERT_GT(closing, 0);
  int closed = -1;
  const bool answered = WaitFor([&] { return TryWaitProcess(closing, closed); }, kWindowTimeoutMs);
  // Answered with the button still held (the window going may end the
  // drag on the target under the pointer).
  LetGo();
  ASSERT_TRUE(answered) << ReadFileBytes(closer.string() + ".log");
  EXPECT_EQ(closed, 0) << ReadFileBytes(closer.string() + ".log");
  EXPECT_TRUE(Said(closer.string() + ".log", "sent ok=1")) << ReadFileBytes(closer.string() + ".log");
  int code = -1;
  ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs)) << ReadFileBytes(err);
  Forget(pid);
  EXPECT_EQ(code, 0) << ReadFileBytes(err);
}

// A scan that opens only with its user password: the prompt is the dialog,
// answered by typing into it; cancelling keeps the scan and says why.
TEST_F(DesktopRun, TheUserPasswordTypedIntoThePromptConvertsTheScan) {
  TK_REQUIRE_TOOL("qpdf");
  TK_REQUIRE_TOOL("tiffinfo");
  struct Case {
    const char* name;
    const char* typed;  // then Enter; nullptr: Escape
    bool converted;
  };
  for (const Case& c : {Case{"answered", "secret", true}, Case{"cancelled", nullptr, false}}) {
    SCOPED_TRACE(c.name);
    const fs::path pdf = docs / (std::string(c.name) + ".pdf");
    const fs::path tif = docs / (std::string(c.name) + ".tif");
    ToolResult made =
        RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", "secret", "owner", "40", "--",
                 (fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf").string(), pdf.string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const fs::path err = scratch.path() / (std::string(c.name) + ".err");
    const int pid = Start({exe.string(), pdf.string()}, err);
    ASSERT_GT(pid, 0);
    const std::string prompt = WaitWindow(::converter::kPassWordCaption);
    ASSERT_FALSE(prompt.empty()) << ReadFileBytes(err);
    RunTool({"xdotool", "windowactivate", "--sync", std::to_string(std::stoul(prompt, nullptr, 16))});
    if (c.typed) {
      RunTool({"xdotool", "type", "--delay", "30", c.typed});
      RunTool({"xdotool", "key", "Return"});
    } else {
      RunTool({"xdotool", "key", "Escape"});
    }
    int code = -1;
    if (c.converted) {
      // The batch ends, and with it the program.
      ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kBatchTimeoutMs)) << ReadFileBytes(err);
      Forget(pid);
      EXPECT_EQ(code, 0) << ReadFileBytes(err);
      EXPECT_FALSE(fs::exists(pdf));
      ToolResult info = RunTool({"tiffinfo", tif.string()});
      EXPECT_EQ(Count(info.out, "TIFF Directory"), 4u) << info.out << info.err;
    } else {
      EXPECT_FALSE(WaitWindow("Error").empty()) << ReadFileBytes(err);
      EXPECT_TRUE(fs::exists(pdf));
      EXPECT_FALSE(fs::exists(tif));
      RunTool({"wmctrl", "-c", "Error"});
      RunTool({"wmctrl", "-c", ::converter::kMainCaption});
      ASSERT_TRUE(WaitFor([&] { return TryWaitProcess(pid, code); }, kWindowTimeoutMs)) << ReadFileBytes(err);
      Forget(pid);
    }
  }
}

}  // namespace
}  // namespace tk::test::converter
