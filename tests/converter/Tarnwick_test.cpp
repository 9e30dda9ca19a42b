// The program itself, run as a process from a copy of the run folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include "ProgramFixture.h"
#include "platform/rtl/IniFiles.h"
#include "support/Desktop.h"

namespace tk::test::converter {
namespace {

TEST_F(Tarnwick, SettingsSurviveARunEndedByASignal) {
  // SIGHUP (the terminal closed) is taken as SIGTERM: save and end.
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    Ini("[Pos]\nTop=9\nLeft=11\n[Mode]\nDD=1\n[App]\nLaunch=/opt/filing app\n[Other]\nKeep=1\n");
    // Without files the window just stays open until it is closed.
    const fs::path err = docs / "stderr.txt";
    const int pid = StartProgram(exe, {}, docs, err);
    EXPECT_TRUE(WaitForWindow(pid, 20000));
    ProgramRun r = FinishProgram(pid, err, 500, sig);
    EXPECT_TRUE(r.signalled);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    rtl::TIniFile ini((run / "tarnwick.ini").string());
    EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 9);
    EXPECT_EQ(ini.ReadInteger("Pos", "Left", -1), 11);
    EXPECT_EQ(ini.ReadInteger("Mode", "DD", -1), 1);
    EXPECT_EQ(ini.ReadString("App", "Launch", ""), "/opt/filing app");
    EXPECT_EQ(ini.ReadString("Other", "Keep", ""), "1");
    EXPECT_EQ(ini.ReadString("PDF", "Path", ""), run.string() + "/");
    // The work root stays; the run's own work folder went with it.
    EXPECT_TRUE(fs::is_directory(run / "cmdline"));
    EXPECT_TRUE(fs::is_empty(run / "cmdline"));
  }
}

TEST_F(Tarnwick, AnotherProcessClosesTheWindowByTitleAndFindsTheSettingsSaved) {
  Ini("[Pos]\nTop=9\nLeft=11\n");
  // It waits for the window to be listed, closes it, then reads the file.
  const fs::path closer = tk::test::StandIn(
      scratch.path(), "closer",
      "close_title=" + std::string(::converter::kMainCaption) +
          "\nclose_wait_ms=20000\nwindir=" + os::TWindowDirectory::Default().Folder().string() +
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
    const std::string report = std::string(::converter::kApplicationTitle) + ": " +
                               (docs / "junk.pdf").string() + ": Invalid PDF Header";
    const fs::path err = docs / "stderr.txt";
    const int pid = StartProgram(exe, {"junk.pdf", "later.pdf"}, docs, err);
    // The window left open is closed once the batch has said its error (a
    // loaded machine may take a while to get there).
    if (!c.endsItself) {
      EXPECT_TRUE(WaitForWindow(pid, 20000));
      EXPECT_TRUE(WaitFor([&] { return ReadFileBytes(err).find(report) != std::string::npos; }, 20000));
    }
    ProgramRun r = FinishProgram(pid, err, c.endsItself ? 20000 : 1000);
    EXPECT_EQ(r.signalled, !c.endsItself);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    // Reported once: the batch ended at the first file.
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

TEST_F(Tarnwick, AReportThatNobodyReadsDoesNotEndTheRun) {
  TK_REQUIRE_TOOL("pdfimages");
  WriteFileBytes(docs / "scan.pdf", ImagePdf());
  WriteFileBytes(docs / "junk.pdf", "this is not a PDF");
  Ini("[Pos]\nTop=7\n");
  // Its stderr a pipe whose reader is gone by the time the report comes.
  ProgramRun r = RunProgram("/bin/sh",
                            {"-c", "{ \"$0\" \"$@\" 2>&1 >/dev/null; echo $? > status; } | true",
                             exe.string(), "scan.pdf", "junk.pdf"},
                            docs, 30000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(ReadFileBytes(docs / "status"), "1\n");
  EXPECT_FALSE(fs::exists(docs / "scan.pdf"));
  EXPECT_TRUE(fs::exists(docs / "scan.tif"));
  EXPECT_TRUE(fs::exists(docs / "junk.pdf"));
  // Closed the normal way: the settings saved, the work folder gone.
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 7);
  EXPECT_EQ(ini.ReadString("PDF", "Path", ""), run.string() + "/");
  EXPECT_TRUE(fs::is_empty(run / "cmdline"));
}

TEST_F(Tarnwick, WithoutATerminalSettingsThatCannotBeSavedDoNotKeepTheProgramOpen) {
  fs::create_directories(run / "tarnwick.ini");  // unwritable as a file
  ProgramRun r = RunProgram(exe, {"missing.pdf"}, docs, 20000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("tarnwick.ini"), std::string::npos) << r.err;
}

TEST_F(Tarnwick, InATerminalTheUserPasswordIsTypedWithoutEchoAndAskedAgainWhenWrong) {
  TK_REQUIRE_TOOL("tmux");
  TK_REQUIRE_TOOL("qpdf");
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("tiffinfo");
  WriteFileBytes(docs / "plain.pdf", ImagePdf());
  auto enc = RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", "secret", "owner", "128", "--use-aes=n",
                      "--", (docs / "plain.pdf").string(), (docs / "locked.pdf").string()});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  // A terminal of our own: a tmux server on a socket in the scratch folder.
  EnvVar notInside("TMUX", nullptr);
  const std::string sock = (scratch.path() / "tmux.sock").string();
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", sock});
    return RunTool(args);
  };
  auto screen = [&] { return tmux({"capture-pane", "-p", "-S", "-100"}).out; };
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "150", "-y", "40", "-c", docs.string(),
                  exe.string() + " locked.pdf; echo EXIT=$?; sleep 60"})
                .exitCode,
            0);
  const std::string prompt = ::converter::kPasswordPrompt;
  EXPECT_TRUE(WaitFor([&] { return Count(screen(), prompt) == 1; }, 20000)) << screen();
  tmux({"send-keys", "wrong", "Enter"});
  EXPECT_TRUE(WaitFor([&] { return Count(screen(), prompt) == 2; }, 20000)) << screen();
  tmux({"send-keys", "secret", "Enter"});
  EXPECT_TRUE(WaitFor([&] { return screen().find("EXIT=") != std::string::npos; }, 30000)) << screen();
  const std::string shown = screen();
  tmux({"kill-server"});
  EXPECT_NE(shown.find("EXIT=0"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("secret"), std::string::npos) << "the password was echoed:\n" << shown;
  EXPECT_EQ(shown.find("wrong"), std::string::npos) << shown;
  EXPECT_TRUE(fs::exists(docs / "locked.tif"));
  EXPECT_FALSE(fs::exists(docs / "locked.pdf"));
}

TEST_F(Tarnwick, TheFilingApplicationsWindowOnTheDesktopGetsTheTiffAtOnce) {
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("xdotool");
  TestDesktop& desk = TestDesktop::Shared();
  TK_REQUIRE_DESKTOP(desk);
  EnvVar display("DISPLAY", desk.Name().c_str());
  // Windows or not, the program runs headless here: the window list reads
  // the display all the same.
  EnvVar headless("TK_HEADLESS", "1");
  const fs::path filing = tk::test::StandIn(scratch.path() / "Lumora Filing", "lumora_filing", "");
  Ini("[Mode]\nDD=0\n[App]\nDoLaunch=1\nLaunch=" + filing.string() + "\n");
  const std::string title = "Lumoraファイリング - " + scratch.path().filename().string();
  const int window = StartProcess({(HelperDir() / "tk_x_window").string(), "--title", title});
  ASSERT_GT(window, 0);
  // Listed by the window manager (the oracle searches its clients by name).
  ASSERT_TRUE(WaitFor(
      [&] {
        return RunTool({"xdotool", "search", "--name", scratch.path().filename().string()}).exitCode == 0;
      },
      5000));
  fs::copy_file(fs::path(TK_SOURCE_DIR_FOR_TESTS) / "samples" / "sample-scan.pdf", docs / "scan.pdf");
  // Not seen, the application would be started bare and waited for a minute.
  ProgramRun r = RunProgram(exe, {"scan.pdf"}, docs, 30000);
  ::kill(window, SIGTERM);
  WaitProcess(window, 3000);
  EXPECT_FALSE(r.signalled) << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(fs::exists(docs / "scan.tif")) << r.err;
  ASSERT_TRUE(WaitFor([&] { return LogOf(filing).find("arg=") != std::string::npos; }, 10000));
  const std::string log = LogOf(filing);
  EXPECT_EQ(Count(log, "start cwd="), 1u) << log;
  EXPECT_EQ(Count(log, "argc=0\n"), 0u) << "started without the file first:\n" << log;
  EXPECT_NE(log.find("arg=" + (docs / "scan.tif").string() + "\n"), std::string::npos) << log;
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

// The pages libtiff finds in a TIFF (tiffinfo as the oracle); 0 for none.
size_t TiffPageCount(const fs::path& tif) {
  if (!fs::is_regular_file(fs::symlink_status(tif))) return 0;
  return Count(RunTool({"tiffinfo", tif.string()}).out, "TIFF Directory");
}

// A PDF whose startxref names an ordinary object, as in a file cut short.
std::string DamagedTablePdf() {
  const std::string base = ImagePdf();
  return base + "98 0 obj\n<< /Type /Page >>\nendobj\nstartxref\n" + std::to_string(base.size()) +
         "\n%%EOF\n";
}

TEST_F(Tarnwick, WithoutATerminalEveryFailureLineNamesTheFile) {
  TK_REQUIRE_TOOL("qpdf");
  WriteFileBytes(docs / "plain.pdf", ImagePdf());
  auto locked = [&](const std::vector<std::string>& how) {
    std::vector<std::string> args = {"qpdf", "--allow-weak-crypto", "--encrypt"};
    args.insert(args.end(), how.begin(), how.end());
    args.insert(args.end(), {"--", (docs / "plain.pdf").string(), (docs / "locked.pdf").string()});
    auto r = RunTool(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return ReadFileBytes(docs / "locked.pdf");
  };
  struct Case {
    const char* name;
    std::string bytes;  // of scan.pdf; empty: a pipe of that name
    std::string arg;    // default: scan.pdf
  } cases[] = {
      {"not a PDF", "this is not a PDF", ""},
      {"a damaged cross-reference table", DamagedTablePdf(), ""},
      {"cut short", ImagePdf().substr(0, 400), ""},
      {"a user password and nobody to ask", locked({"secret", "owner", "128", "--use-aes=n"}), ""},
      {"an encryption the reader does not know", locked({"secret", "owner", "256"}), ""},
      {"a pipe", "", ""},
      {"a device", "unused", "/dev/null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(docs / "scan.pdf");
    if (c.bytes.empty())
      ASSERT_EQ(::mkfifo((docs / "scan.pdf").c_str(), 0600), 0);
    else
      WriteFileBytes(docs / "scan.pdf", c.bytes);
    const std::string arg = c.arg.empty() ? "scan.pdf" : c.arg;
    ProgramRun r = RunProgram(exe, {arg}, docs, 30000);
    EXPECT_FALSE(r.signalled) << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const std::string named = c.arg.empty() ? (docs / "scan.pdf").string() : c.arg;
    EXPECT_NE(r.err, "");
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
      EXPECT_NE(line.find(named), std::string::npos) << "a line that does not name the file: " << line;
    EXPECT_TRUE(fs::exists(fs::symlink_status(docs / "scan.pdf")));
    EXPECT_FALSE(fs::exists(docs / "scan.tif"));
  }
}

TEST_F(Tarnwick, NamesThatAreNoFileArePassedOverSaidAndFailTheRun) {
  // The files that are there still convert; the scanner software that named
  // the others learns that they were not.
  WriteFileBytes(docs / "scan.pdf", ImagePdf());
  fs::create_directories(docs / "folder.pdf");
  ProgramRun r = RunProgram(exe, {"missing.pdf", "*.pdf", "folder.pdf", "scan.pdf"}, docs, 20000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find((docs / "missing.pdf").string() + ": No such file or directory"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find((docs / "*.pdf").string() + ": No such file or directory"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find((docs / "folder.pdf").string() + " is not a regular file"), std::string::npos)
      << r.err;
  EXPECT_EQ(TiffPageCount(docs / "scan.tif"), 1u);
  EXPECT_FALSE(fs::exists(docs / "scan.pdf"));
  EXPECT_TRUE(fs::is_directory(docs / "folder.pdf"));
}

TEST_F(Tarnwick, ASourceThatCannotBeDeletedIsSaidAndFailsTheRun) {
  WriteFileBytes(docs / "scan.pdf", ImagePdf());
  const std::string source = (docs / "scan.pdf").string();
  if (RunTool({"chattr", "+i", source}).exitCode != 0) GTEST_SKIP() << "chattr +i is not allowed here";
  ProgramRun r = RunProgram(exe, {"scan.pdf"}, docs, 20000);
  RunTool({"chattr", "-i", source});
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("scan.pdf: ＰＤＦを削除できません（ＰＤＦを残します）\nOperation not permitted"),
            std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::exists(docs / "scan.pdf"));
  EXPECT_EQ(TiffPageCount(docs / "scan.tif"), 1u);
}

TEST_F(Tarnwick, AttacksOnTheScanTable) {
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("tiffinfo");
  TK_REQUIRE_TOOL("img2pdf");
  TK_REQUIRE_TOOL("convert-im6.q16");
  // A colour scan whose TIFF (LZW) is far larger than its page files (JPEG):
  // a small file-size limit lets the pages through and stops the TIFF.
  const fs::path fx = scratch.path() / "fx";
  fs::create_directories(fx);
  auto jpg = RunTool({"convert-im6.q16", "-size", "300x300", "-seed", "7", "plasma:", "-quality", "80",
                      (fx / "page.jpg").string()});
  ASSERT_EQ(jpg.exitCode, 0) << jpg.err;
  auto made = RunTool({"img2pdf", (fx / "page.jpg").string(), "-o", (fx / "colour.pdf").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string colour = ReadFileBytes(fx / "colour.pdf");
  const std::string page = (fx / "page.jpg").string();
  made = RunTool({"img2pdf", page, page, page, "-o", (fx / "three.pdf").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const std::string threePages = ReadFileBytes(fx / "three.pdf");
  // An older TIFF of three pages: none of the rows converts to as many.
  auto three = RunTool(
      {"convert-im6.q16", "-size", "16x16", "xc:white", "xc:black", "xc:gray", (fx / "older.tif").string()});
  ASSERT_EQ(three.exitCode, 0) << three.err;
  ASSERT_EQ(TiffPageCount(fx / "older.tif"), 3u);
  const std::string older = ReadFileBytes(fx / "older.tif");
  // A page tool that finds an image on the first page only.
  const std::string firstPageOnly =
      "case \"$3\" in *001) printf 'P4\\n8 2\\n\\377\\000' > \"$3-000.pbm\";; esac";

  struct Case {
    const char* name;
    std::function<void(const fs::path& docs)> setup;
    std::vector<std::string> args;  // default: scan.pdf
    std::string tool;               // a page tool in the work root, else the real one
    std::string path;               // PATH of the run, when set
    std::string limit;              // a file-size limit in 512-byte blocks, when set
    const char* source;             // the file that must be kept, or "" when it goes
    const char* tiff;               // the TIFF's name
    size_t pages;                   // pages in it; 0: none (or what setup put there, unchanged)
    int exitCode;
    const char* message;           // in standard error; "" for none at all
    const char* toolLimitMs = "";  // a shorter time limit of the page tool, when set
    int org = 0;                   // NoDel/ORG: sources kept
  } cases[] = {
      {"a scan converts",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "",
       "",
       "",
       "",
       "scan.tif",
       1,
       0,
       ""},
      {"a PDF named like its TIFF",
       [](const fs::path& d) { WriteFileBytes(d / "scan.tif", ImagePdf()); },
       {"scan.tif"},
       "",
       "",
       "",
       "scan.tif",
       "scan.tif",
       0,
       1,
       "is named like its own TIFF"},
      {"the TIFF's name a second link to the source",
       [](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", ImagePdf());
         fs::create_hard_link(d / "scan.pdf", d / "scan.tif");
       },
       {},
       "",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "is named like its own TIFF"},
      {"a name without extension beside a .pdf of that name",
       [](const fs::path& d) {
         WriteFileBytes(d / "doc", ImagePdf());
         WriteFileBytes(d / "doc.pdf", "another file");
       },
       {"doc"},
       "",
       "",
       "",
       "",
       "doc.tif",
       1,
       0,
       ""},
      {"a link planted at the TIFF's name",
       [](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", ImagePdf());
         WriteFileBytes(d / "victim.txt", "precious");
         fs::create_symlink(d / "victim.txt", d / "scan.tif");
       },
       {},
       "",
       "",
       "",
       "",
       "scan.tif",
       1,
       0,
       ""},
      {"a full disk keeps the older TIFF",
       [&](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", colour);
         WriteFileBytes(d / "scan.tif", "older TIFF");
       },
       {},
       "",
       "",
       "120",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "TIFF Error"},
      {"a pipe",
       [](const fs::path& d) { ::mkfifo((d / "scan.pdf").c_str(), 0600); },
       {},
       "",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "is not a regular file"},
      {"a device",
       [](const fs::path&) {},
       {"/dev/null"},
       "",
       "",
       "",
       "",
       "scan.tif",
       0,
       1,
       "/dev/null is not a regular file"},
      {"a damaged cross-reference table",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", DamagedTablePdf()); },
       {},
       "",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "the file is damaged"},
      {"no page tool anywhere",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "",
       "/nonexistent",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "the page tool pdfimages (Debian package poppler-utils) was not found"},
      {"the page tool fails",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "exit 1",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "pdfimages failed on page 1 (exit status 1)"},
      {"the page tool crashes",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "kill -SEGV $$",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "pdfimages crashed on page 1"},
      {"the page tool writes two images",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "printf 'P4\\n8 2\\n\\377\\000' > \"$3-000.pbm\"; cp \"$3-000.pbm\" \"$3-001.pbm\"",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       1,
       1,
       "scan.pdf: 1ページに画像が複数あります（ＰＤＦを残します）"},
      {"a whole scan replaces an older TIFF",
       [&](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", ImagePdf());
         WriteFileBytes(d / "scan.tif", older);
       },
       {},
       "",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       1,
       0,
       "",
       "",
       1},
      {"a page with two images leaves an older TIFF as it is",
       [&](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", ImagePdf());
         WriteFileBytes(d / "scan.tif", older);
       },
       {},
       "printf 'P4\\n8 2\\n\\377\\000' > \"$3-000.pbm\"; cp \"$3-000.pbm\" \"$3-001.pbm\"",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       3,
       1,
       "the partial TIFF (1 page) was not placed",
       "",
       1},
      {"a page without an image leaves an older TIFF as it is",
       [&](const fs::path& d) {
         WriteFileBytes(d / "scan.pdf", tk::test::pdf::SimpleDocument(2).Build());
         WriteFileBytes(d / "scan.tif", older);
       },
       {},
       firstPageOnly,
       "",
       "",
       "scan.pdf",
       "scan.tif",
       3,
       1,
       "scan.pdf: 1ページ変換できません（ＰＤＦを残します）\nTIFF Error: "},
      {"one scan named twice",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {"scan.pdf", "./scan.pdf", "scan.pdf"},
       "",
       "",
       "",
       "",
       "scan.tif",
       1,
       0,
       ""},
      {"two files of a batch whose TIFFs take one name",
       [&](const fs::path& d) {
         WriteFileBytes(d / "a.pdf", threePages);
         WriteFileBytes(d / "a.PDF", ImagePdf());
       },
       {"a.pdf", "a.PDF"},
       "",
       "",
       "",
       "a.PDF",
       "a.tif",
       3,
       1,
       "is the TIFF of another file of this batch"},
      {"a page without an image: the pages that converted take a free name",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", tk::test::pdf::SimpleDocument(2).Build()); },
       {},
       firstPageOnly,
       "",
       "",
       "scan.pdf",
       "scan.tif",
       1,
       1,
       "scan.pdf: 1ページ変換できません（ＰＤＦを残します）"},
      {"the page tool hangs",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "sleep 60 & exec sleep 60",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "pdfimages did not finish within 1 seconds",
       "1500"},
      {"a PDF without pages",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", tk::test::pdf::SimpleDocument(0).Build()); },
       {},
       "",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       "scan.pdf: 変換できるページがありません（ＰＤＦを残します）"},
      {"the page tool writes garbage",
       [](const fs::path& d) { WriteFileBytes(d / "scan.pdf", ImagePdf()); },
       {},
       "echo garbage > \"$3-000.pbm\"",
       "",
       "",
       "scan.pdf",
       "scan.tif",
       0,
       1,
       ":"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(docs);
    fs::create_directories(docs);
    fs::remove_all(WorkRoot());
    // Kept TIFFs: no log, so no run deletes what an earlier row made.
    Ini("[NoDel]\nTRG=1\nORG=" + std::to_string(c.org) + "\n");
    c.setup(docs);
    std::map<std::string, std::string> before;
    for (const auto& e : fs::directory_iterator(docs))
      if (fs::is_regular_file(fs::symlink_status(e.path())))
        before[e.path().filename().string()] = ReadFileBytes(e.path());
    if (!c.tool.empty()) {
      fs::create_directories(WorkRoot());
      WriteFileBytes(WorkRoot() / "pdfimages", "#!/bin/sh\n" + c.tool + "\n");
      ::chmod((WorkRoot() / "pdfimages").c_str(), 0755);
    }
    std::vector<std::string> args = c.args.empty() ? std::vector<std::string>{"scan.pdf"} : c.args;
    std::optional<EnvVar> path, toolLimit;
    if (!c.path.empty()) path.emplace("PATH", c.path.c_str());
    if (*c.toolLimitMs) toolLimit.emplace("TK_PAGE_TOOL_TIME_LIMIT_MS", c.toolLimitMs);
    ProgramRun r;
    if (c.limit.empty()) {
      r = RunProgram(exe, args, docs, 30000);
    } else {
      // Writes past the limit fail (as on a full disk) instead of ending the program.
      std::vector<std::string> shell = {"-c", "trap '' XFSZ; ulimit -f " + c.limit + "; exec \"$0\" \"$@\"",
                                        exe.string()};
      shell.insert(shell.end(), args.begin(), args.end());
      r = RunProgram("/bin/sh", shell, docs, 30000);
    }
    path.reset();
    toolLimit.reset();
    EXPECT_FALSE(r.signalled) << r.err;
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (std::string(c.message).empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // What was kept is kept byte for byte; what the converter did not make
    // is as it was.
    if (*c.source) {
      ASSERT_TRUE(fs::exists(fs::symlink_status(docs / c.source)));
      if (before.count(c.source) && std::string(c.source) != c.tiff) {
        EXPECT_EQ(ReadFileBytes(docs / c.source), before[c.source]);
      }
    }
    if (c.pages > 0) {
      EXPECT_EQ(TiffPageCount(docs / c.tiff), c.pages);
    } else if (before.count(c.tiff)) {
      EXPECT_EQ(ReadFileBytes(docs / c.tiff), before[c.tiff]) << "a file of that name was changed";
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(docs / c.tiff)));
    }
    if (before.count("victim.txt")) {
      EXPECT_EQ(ReadFileBytes(docs / "victim.txt"), "precious");
    }
    if (before.count("doc.pdf")) {
      EXPECT_EQ(ReadFileBytes(docs / "doc.pdf"), "another file");
    }
    // Sources that converted whole are gone; nothing else lies beside them.
    for (const auto& e : fs::directory_iterator(docs)) {
      const std::string name = e.path().filename().string();
      if (name != c.source && name != c.tiff && !before.count(name) && name != "stderr.txt")
        ADD_FAILURE() << "left beside the source: " << name;
      if (name != c.source && name != c.tiff && before.count(name) && name != "victim.txt" &&
          name != "doc.pdf")
        ADD_FAILURE() << "not deleted: " << name;
    }
  }
}

}  // namespace
}  // namespace tk::test::converter
