#include "converter/HandOff.h"

#include <signal.h>

#include "platform/os/Windows.h"
#include "platform/os/XWindows.h"
#include "support/Desktop.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using converter::THandOff;
using converter::THandOffSettings;
using tk::test::Count;
using tk::test::LogOf;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::StandIn;
using tk::test::WriteFileBytes;

namespace {

const std::string kFilingTitle =
    "Lumora\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB0";

}  // namespace

TEST(HandOffTest, TitleAndNameTables) {
  struct T {
    std::string title;
    bool filing;
  } titles[] = {
      {kFilingTitle, true},
      {"lumora" + std::string("\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB0") +
           "6 - inbox",
       true},
      {"Corvane\xE2\x98\x86 for " + kFilingTitle, false},
      {"Corvane\xE2\x98\x86" + kFilingTitle, false},
      {"CORVANE\xE2\x98\x86 " + kFilingTitle, false},
      {"Lumora viewer", false},
      {"\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB0", false},
  };
  for (const auto& t : titles) {
    SCOPED_TRACE(t.title);
    EXPECT_EQ(converter::IsFilingTitle(t.title), t.filing);
  }
  struct N {
    const char* launch;
    bool filing;
  } names[] = {{"/opt/LumoraFiling6/Program/Lumora_Filing.exe", true},
               {"/opt/x/lumora_filing", true},
               {"/opt/x/LUMORA_FILING", true},
               {"/opt/x/lumora_filing.sh", false},
               {"/opt/lumora_filing/viewer", false},
               {"", false}};
  for (const auto& n : names) {
    SCOPED_TRACE(n.launch);
    EXPECT_EQ(converter::IsFilingApplication(n.launch), n.filing);
  }
}

TEST(HandOffTest, ViewerStartedOncePerTiffWithOneArgument) {
  ScratchDir scratch;
  fs::path viewer = StandIn(scratch / "my apps", "viewer", "");
  controls::TWinList list;
  THandOff h(list);
  THandOffSettings s{1, viewer.string(), 0};
  const std::vector<std::string> tifs = {"/scans/a.tif", "/scans/with space \"quoted\" 'x'.tif"};
  for (const auto& t : tifs) EXPECT_EQ(h.HandOff(s, t), converter::hoHanded);
  ASSERT_TRUE(tk::test::WaitFor([&] { return Count(LogOf(viewer), "arg=") == 2; }, 10000));
  std::string log = LogOf(viewer);
  EXPECT_EQ(Count(log, "argc=1\n"), 2u);
  EXPECT_EQ(Count(log, "start cwd=" + (scratch / "my apps").string() + "\n"), 2u);
  for (const auto& t : tifs) EXPECT_NE(log.find("arg=" + t + "\n"), std::string::npos);
}

TEST(HandOffTest, NothingIsStartedTable) {
  ScratchDir scratch;
  WriteFileBytes(scratch / "app", "");
  rtl::TStringList produced;
  produced.Add("/scans/made.tif");
  // The settings are made in the loop: a table of nested aggregates with
  // strings inside makes GCC 12 at -O3 see uninitialised strings that are not.
  struct Case {
    const char* label;
    int doLaunch;
    std::string launch;
    std::string tif;
    converter::THandOffResult result;
  };
  const std::vector<Case> cases = {
      {"DoLaunch off", 0, (scratch / "app").string(), "/scans/made.tif", converter::hoNotAsked},
      {"no Launch", 1, "", "/scans/made.tif", converter::hoNotAsked},
      {"Launch missing", 1, (scratch / "missing").string(), "/scans/made.tif", converter::hoNoApplication},
      {"not made by this batch", 1, (scratch / "app").string(), "/scans/old.tif", converter::hoNotAsked},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    controls::TWinList list;
    THandOff h(list);
    int starts = 0;
    h.Start = [&](const std::string&, const std::vector<std::string>&, const std::string&) {
      return ++starts, 0;
    };
    THandOffSettings settings;
    settings.DoLaunch = c.doLaunch;
    settings.Launch = c.launch;
    EXPECT_EQ(h.HandOff(settings, c.tif, &produced), c.result);
    EXPECT_EQ(starts, 0);
  }
}

TEST(HandOffTest, FilingApplicationStartedWaitedForThenGivenEachTiff) {
  for (int dd : {0, 1}) {
    SCOPED_TRACE(dd ? "drag mode" : "drag mode off");
    ScratchDir scratch;
    os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
    fs::path app =
        StandIn(scratch / "Lumora Filing", "lumora_filing",
                "title=" + kFilingTitle + "\nsingle=1\nwindir=" + (scratch / "windows").string() + "\n");
    controls::TWinList list;
    THandOff h(list);
    THandOffSettings s{1, app.string(), dd};
    const auto handed = dd ? converter::hoLeftToDrag : converter::hoHanded;
    EXPECT_EQ(h.HandOff(s, "/scans/one.tif"), handed);
    EXPECT_TRUE(converter::FilingWindowPresent(list));  // waited for
    EXPECT_EQ(h.HandOff(s, "/scans/two.tif"), handed);
    // The passing starts record and exit at once; give them the time.
    tk::test::WaitFor([&] { return Count(LogOf(app), "start cwd=") == (dd ? 1u : 3u); }, 10000);
    std::string log = LogOf(app);
    EXPECT_EQ(Count(log, "argc=0\n"), 1u);  // started once without a file
    EXPECT_EQ(Count(log, "ready handle="), 1u);
    EXPECT_EQ(log.find("arg=/scans/one.tif\n") != std::string::npos, dd == 0) << log;
    EXPECT_EQ(log.find("arg=/scans/two.tif\n") != std::string::npos, dd == 0) << log;
    // Close the stand-in.
    for (int i = 0; i < list.WindowList().Count(); ++i)
      os::TWindowDirectory::Default().SendMessage(list.WindowHandleAt(i), os::WM_CLOSE, 0, 5000);
    os::TWindowDirectory::SetDefaultFolder({});
  }
}

TEST(HandOffTest, WaitEndsAtTheLimitWithTheClockReplaced) {
  ScratchDir scratch;
  os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
  WriteFileBytes(scratch / "lumora_filing", "");
  controls::TWinList list;
  THandOff h(list);
  int64_t now = 1000;
  int sleeps = 0;
  std::vector<std::vector<std::string>> starts;
  std::string status;
  h.NowMs = [&] { return now; };
  h.Sleep = [&](int ms) {
    now += ms;
    ++sleeps;
  };
  h.ProcessMessages = [] {};
  h.SetStatus = [&](const std::string& t) { status = t; };
  h.Start = [&](const std::string&, const std::vector<std::string>& a, const std::string&) {
    starts.push_back(a);
    return 0;
  };
  EXPECT_EQ(h.HandOff({1, (scratch / "lumora_filing").string(), 0}, "/scans/one.tif"),
            converter::hoWaitExpired);
  ASSERT_EQ(starts.size(), 1u);  // started, never given the file
  EXPECT_TRUE(starts[0].empty());
  EXPECT_EQ(status, converter::kFilingWaitExpired);
  EXPECT_EQ(sleeps, converter::kFilingWaitLimitMs / converter::kFilingPollMs);
  os::TWindowDirectory::SetDefaultFolder({});
}

TEST(HandOffTest, ForeignFilingWindowOnTheDesktopTakesTheTiffAtOnce) {
  TK_REQUIRE_TOOL("wmctrl");
  tk::test::TestDesktop desk;
  TK_REQUIRE_DESKTOP(desk);
  tk::test::EnvVar display("DISPLAY", desk.Name().c_str());
  ScratchDir scratch;
  os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
  WriteFileBytes(scratch / "lumora_filing", "");
  const int pid = tk::test::StartProcess(
      {(tk::test::HelperDir() / "tk_x_window").string(), "--title", kFilingTitle + " - scans"});
  ASSERT_GT(pid, 0);
  // Listed by the window manager: on a desktop the tests share, other
  // programs' windows may be listed already.
  ASSERT_TRUE(tk::test::WaitFor(
      [] {
        return tk::test::RunTool({"wmctrl", "-l"}).out.find(kFilingTitle + " - scans") != std::string::npos;
      },
      5000));
  controls::TWinList list;
  THandOff h(list);
  h.WaitLimitMs = 3000;  // a window not seen fails in seconds, not a minute
  std::vector<std::vector<std::string>> starts;
  h.Start = [&](const std::string&, const std::vector<std::string>& a, const std::string&) {
    starts.push_back(a);
    return 0;
  };
  h.HandOff({1, (scratch / "lumora_filing").string(), 0}, "/scans/one.tif");
  // Never started bare: the running application got the file straight away.
  EXPECT_EQ(starts, (std::vector<std::vector<std::string>>{{"/scans/one.tif"}}));
  ::kill(pid, SIGTERM);
  tk::test::WaitProcess(pid, 3000);
  os::TWindowDirectory::SetDefaultFolder({});
}

TEST(HandOffTest, AStartThatFailsIsSaid) {
  ScratchDir scratch;
  os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
  WriteFileBytes(scratch / "viewer", "");
  WriteFileBytes(scratch / "lumora_filing", "");
  for (const char* app : {"viewer", "lumora_filing"}) {
    SCOPED_TRACE(app);
    controls::TWinList list;
    THandOff h(list);
    std::string status;
    h.SetStatus = [&](const std::string& t) { status = t; };
    h.Start = [](const std::string&, const std::vector<std::string>&, const std::string&) { return EACCES; };
    EXPECT_EQ(h.HandOff({1, (scratch / app).string(), 0}, "/scans/one.tif"), converter::hoStartFailed);
    EXPECT_EQ(status, converter::kLaunchFailed);
  }
  os::TWindowDirectory::SetDefaultFolder({});
}
