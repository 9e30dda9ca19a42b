// The program itself, run as a process from a copy of the run folder.
#include <gtest/gtest.h>
#include <signal.h>

#include "ConverterFixture.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

struct ProgramRun {
  int exitCode = -1;
  bool signalled = false;  // had to be stopped with SIGTERM
  std::string err;
};

// Runs the program; after waitMs it is sent SIGTERM (as a user's ^C or a
// session's end), and killed if it still does not end.
ProgramRun RunProgram(const fs::path& exe, const std::vector<std::string>& args, const fs::path& cwd, int waitMs) {
  ProgramRun result;
  const fs::path errFile = cwd / "stderr.txt";
  std::vector<std::string> argv{exe.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  const int pid = StartProcess(argv, cwd, errFile);
  if (pid < 0) return result;
  auto ended = [&] { return TryWaitProcess(pid, result.exitCode); };
  if (!WaitFor(ended, waitMs)) {
    result.signalled = true;
    ::kill(pid, SIGTERM);
    if (!WaitFor(ended, 10000)) result.exitCode = WaitProcess(pid, 0);
  }
  result.err = ReadFileBytes(errFile);
  return result;
}

class Tarnwick : public ConverterFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(RunDir() / "tarnwick")) << "build the tarnwick target first";
    fs::copy_file(RunDir() / "tarnwick", run / "tarnwick", fs::copy_options::overwrite_existing);
    exe = run / "tarnwick";
  }
  fs::path exe;
};

TEST_F(Tarnwick, SettingsSurviveARunEndedByASignal) {
  Ini("[Pos]\nTop=9\nLeft=11\n[Mode]\nDD=1\n[App]\nLaunch=/opt/filing app\n[Other]\nKeep=1\n");
  // Without files the window just stays open until it is closed.
  ProgramRun r = RunProgram(exe, {}, docs, 1500);
  EXPECT_TRUE(r.signalled);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 9);
  EXPECT_EQ(ini.ReadInteger("Pos", "Left", -1), 11);
  EXPECT_EQ(ini.ReadInteger("Mode", "DD", -1), 1);
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), "/opt/filing app");
  EXPECT_EQ(ini.ReadString("Other", "Keep", ""), "1");
  EXPECT_EQ(ini.ReadString("PDF", "Path", ""), run.string() + "/");
  EXPECT_TRUE(fs::is_directory(run / "cmdline"));
}

TEST_F(Tarnwick, AnotherProcessClosesTheWindowByTitleAndFindsTheSettingsSaved) {
  Ini("[Pos]\nTop=9\nLeft=11\n");
  // It waits for the window to be listed, closes it, then reads the file.
  const fs::path closer = tk::test::StandIn(scratch.path(), "closer",
                                            "close_title=" + std::string(::converter::kMainCaption) +
                                                "\nclose_wait_ms=20000\nwindir=" +
                                                os::TWindowDirectory::Default().Folder().string() +
                                                "\nreport=" + (run / "tarnwick.ini").string() + "\n");
  int pid = StartProcess({closer.string()});
  ASSERT_GT(pid, 0);
  ProgramRun r = RunProgram(exe, {}, docs, 30000);
  EXPECT_FALSE(r.signalled) << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(WaitProcess(pid, 20000), 0);
  const std::string log = ReadFileBytes(closer.string() + ".log");
  EXPECT_NE(log.find("sent ok=1\n"), std::string::npos) << log;
  // Written by the close, before the answer: the folder the program saves.
  EXPECT_NE(log.find("report=Path=" + run.string() + "/\n"), std::string::npos) << log;
  EXPECT_NE(log.find("report=Top=9\n"), std::string::npos) << log;
}

TEST_F(Tarnwick, MissingFilesAreSkippedAndTheProgramEnds) {
  ProgramRun r = RunProgram(exe, {"missing.pdf", "*.pdf"}, docs, 20000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
}

TEST_F(Tarnwick, WithoutATerminalAFailedBatchIsReportedAndTheProgramEnds) {
  // No terminal: the error goes to stderr and nobody could close a window
  // left open, so the program ends with a failure status. In drag mode the
  // window stays for the drag, as after a batch that went well.
  struct Case {
    int dd;
    bool endsItself;
  } cases[] = {{0, true}, {1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dd);
    Ini("[Mode]\nDD=" + std::to_string(c.dd) + "\n[Pos]\nTop=7\n");
    WriteFileBytes(docs / "junk.pdf", "this is not a PDF");
    WriteFileBytes(docs / "later.pdf", "nor is this");
    ProgramRun r = RunProgram(exe, {"junk.pdf", "later.pdf"}, docs, c.endsItself ? 20000 : 1000);
    EXPECT_EQ(r.signalled, !c.endsItself);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    // Reported once: the batch ended at the first file.
    const std::string report = std::string(::converter::kApplicationTitle) + ": Invalid PDF Header";
    EXPECT_EQ(r.err.rfind(report, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find(report, 1), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(docs / "junk.pdf"));
    EXPECT_TRUE(fs::exists(docs / "later.pdf"));
    // Closed the normal way: the settings were saved.
    rtl::TIniFile ini((run / "tarnwick.ini").string());
    EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 7);
    EXPECT_EQ(ini.ReadString("PDF", "Path", ""), run.string() + "/");
  }
}

TEST_F(Tarnwick, WithoutATerminalSettingsThatCannotBeSavedDoNotKeepTheProgramOpen) {
  fs::create_directories(run / "tarnwick.ini");  // unwritable as a file
  ProgramRun r = RunProgram(exe, {"missing.pdf"}, docs, 20000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("tarnwick.ini"), std::string::npos) << r.err;
}

TEST_F(Tarnwick, ConvertsTheSampleScanBesideIt) {
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("tiffinfo");
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "sample-scan.pdf");
  ProgramRun r = RunProgram(exe, {"sample-scan.pdf"}, docs, 20000);
  if (r.err.find("The PDF library cannot") != std::string::npos) GTEST_SKIP() << r.err;
  EXPECT_FALSE(r.signalled) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_TRUE(fs::exists(docs / "sample-scan.tif")) << r.err;
  EXPECT_FALSE(fs::exists(docs / "sample-scan.pdf"));
  auto info = RunTool({"tiffinfo", (docs / "sample-scan.tif").string()});
  size_t pages = 0;
  for (size_t p = 0; (p = info.out.find("TIFF Directory", p)) != std::string::npos; ++p) ++pages;
  EXPECT_EQ(pages, 4u);
  EXPECT_NE(info.out.find("Image Width: 1654 Image Length: 1169"), std::string::npos) << info.out;  // turned
  EXPECT_EQ(::converter::ReadLog(), (std::vector<std::string>{(docs / "sample-scan.tif").string()}));
}

}  // namespace
}  // namespace tk::test::converter
