// The program's life: converters started side by side by the scanner
// software, runs that are killed or interrupted, work folders left behind,
// settings that cannot be read. Each row runs the real program with the real
// page tool and checks every TIFF page for page against the page tool's own
// images of its document.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "ProgramFixture.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

class TarnwickRuns : public Tarnwick {
 protected:
  void SetUp() override {
    Tarnwick::SetUp();
    if (HasFatalFailure()) return;
    TK_REQUIRE_TOOL("pdfimages");
    TK_REQUIRE_TOOL("img2pdf");
    TK_REQUIRE_TOOL("convert-im6.q16");
    TK_REQUIRE_TOOL("/usr/bin/python3");
    fixtures = scratch.path() / "fixtures";
    fs::create_directories(fixtures);
    // The TIFFs stay, so that a later start does not delete an earlier
    // run's TIFF before it is checked.
    Ini("[NoDel]\nTRG=1\n");
  }

  // A scan of its own: bilevel pages whose marks depend on the document and
  // the page, so that a page of another document never passes for one of
  // this; the page tool's images of it are kept to compare with.
  fs::path MakeDocument(const fs::path& folder, const std::string& name, int doc, int pages) {
    fs::create_directories(folder);
    std::vector<std::string> cmd = {"img2pdf"};
    for (int p = 0; p < pages; ++p) {
      const fs::path img = fixtures / (name + "-" + std::to_string(doc) + "-" + std::to_string(p) + ".tif");
      const int x = 10 + 17 * doc, y = 10 + 23 * p;
      auto r = RunTool({"convert-im6.q16", "-size", "160x200", "xc:white", "-fill", "black", "-draw",
                        "rectangle " + std::to_string(x) + "," + std::to_string(y) + " " +
                            std::to_string(x + 30) + "," + std::to_string(y + 12),
                        "-draw", "circle 120,160 " + std::to_string(125 + p + doc) + ",160", "-monochrome",
                        "-density", "100", "-units", "PixelsPerInch", "-compress", "Group4", img.string()});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      cmd.push_back(img.string());
    }
    const fs::path pdf = folder / (name + ".pdf");
    cmd.insert(cmd.end(), {"-o", pdf.string()});
    auto r = RunTool(cmd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const fs::path expected = fixtures / ("expected-" + std::to_string(doc));
    fs::create_directories(expected);
    r = RunTool({"pdfimages", pdf.string(), (expected / "img").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return pdf;
  }

  // "" when the TIFF holds the page tool's images of document doc, page for
  // page and pixel for pixel; else what differs.
  std::string CompareWithDocument(const fs::path& tif, int doc) {
    const fs::path expected = fixtures / ("expected-" + std::to_string(doc));
    const std::string script =
        "import sys, glob\n"
        "from PIL import Image\n"
        "want = sorted(glob.glob(sys.argv[2] + '/img-*'))\n"
        "t = Image.open(sys.argv[1])\n"
        "n = getattr(t, 'n_frames', 1)\n"
        "if n != len(want): print('pages', n, 'want', len(want)); sys.exit(0)\n"
        "for i, w in enumerate(want):\n"
        "  t.seek(i)\n"
        "  a = t.convert('L').point(lambda v: 255 if v > 127 else 0)\n"
        "  b = Image.open(w).convert('L').point(lambda v: 255 if v > 127 else 0)\n"
        "  if a.size != b.size or a.tobytes() != b.tobytes(): print('page', i + 1, 'differs'); sys.exit(0)\n";
    auto r = RunTool({"/usr/bin/python3", "-c", script, tif.string(), expected.string()});
    if (r.exitCode != 0) return "oracle failed: " + r.err;
    return r.out;
  }

  // A scan of grey noise, which compression does not shrink: pages of side
  // by side pixels.
  fs::path NoiseDocument(const fs::path& folder, int pages, int side) {
    fs::create_directories(folder);
    std::vector<std::string> cmd = {"img2pdf"};
    for (int p = 0; p < pages; ++p) {
      const fs::path img = fixtures / (folder.filename().string() + "-noise-" + std::to_string(p) + ".png");
      const std::string size = std::to_string(side) + "x" + std::to_string(side);
      auto r = RunTool({"convert-im6.q16", "-size", size, "xc:gray", "-seed", std::to_string(p + 1), "+noise",
                        "Random", "-colorspace", "gray", "-depth", "8", img.string()});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      cmd.push_back(img.string());
    }
    const fs::path pdf = folder / "scan.pdf";
    cmd.insert(cmd.end(), {"-o", pdf.string()});
    auto r = RunTool(cmd);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return pdf;
  }

  // A page tool in the work root that takes its time before the real one
  // runs, so that converters started one after another overlap.
  void SlowPageTool(int ms) {
    fs::create_directories(WorkRoot());
    const std::string seconds = std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100);
    WriteFileBytes(WorkRoot() / "pdfimages",
                   "#!/bin/sh\nsleep " + seconds + "\nexec /usr/bin/pdfimages \"$@\"\n");
    ::chmod((WorkRoot() / "pdfimages").c_str(), 0755);
  }

  fs::path fixtures;
};

TEST_F(TarnwickRuns, ConvertersSideBySideEachConvertTheirOwnScan) {
  struct Case {
    const char* label;
    int converters;
    int apartMs;  // between one start and the next
    bool sameScan;
  } cases[] = {
      {"two at once", 2, 0, false},
      {"three, one a second", 3, 1000, false},
      {"five over three seconds", 5, 750, false},
      {"twice the same scan", 2, 0, true},
      {"twice the same scan, later", 2, 400, true},
  };
  SlowPageTool(300);
  int doc = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path dir = docs / c.label;
    std::vector<int> docOf;
    std::vector<fs::path> pdfs;
    for (int i = 0; i < c.converters; ++i) {
      if (!c.sameScan || i == 0) {
        ++doc;
        pdfs.push_back(MakeDocument(dir, "scan" + std::to_string(i), doc, 3));
      } else {
        pdfs.push_back(pdfs[0]);
      }
      docOf.push_back(doc);
    }
    std::vector<int> pids;
    std::vector<fs::path> errs;
    for (int i = 0; i < c.converters; ++i) {
      if (i > 0 && c.apartMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.apartMs));
      errs.push_back(scratch.path() / ("err-" + std::to_string(doc) + "-" + std::to_string(i)));
      pids.push_back(StartProgram(exe, {pdfs[i].string()}, dir, errs.back()));
      ASSERT_GT(pids.back(), 0);
    }
    std::vector<ProgramRun> runs;
    for (int i = 0; i < c.converters; ++i) runs.push_back(FinishProgram(pids[i], errs[i], 60000));
    for (int i = 0; i < c.converters; ++i) {
      SCOPED_TRACE(i);
      EXPECT_FALSE(runs[i].signalled);
      const fs::path tif = fs::path(pdfs[i]).replace_extension(".tif");
      ASSERT_TRUE(fs::exists(tif)) << runs[i].err;
      EXPECT_EQ(CompareWithDocument(tif, docOf[i]), "");
      // The source goes once its TIFF is whole.
      EXPECT_FALSE(fs::exists(pdfs[i]));
      if (!c.sameScan) {
        EXPECT_EQ(runs[i].exitCode, 0) << runs[i].err;
        EXPECT_EQ(runs[i].err, "");
      } else if (runs[i].exitCode != 0) {
        // The other run deleted the scan under it: said, and a failure.
        EXPECT_EQ(runs[i].exitCode, 1);
        EXPECT_NE(runs[i].err, "");
      }
    }
    if (c.sameScan) {
      EXPECT_TRUE(runs[0].exitCode == 0 || runs[1].exitCode == 0);
    }
    // Every work folder went with its run.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(WorkRoot()))
      if (e.path().filename() != "pdfimages") left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{});
  }
}

// Waits until a work folder of a run holds the page file it hands the tool.
bool WorkFolderInUse(const fs::path& root) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(root, ec))
    if (e.is_directory() && fs::exists(e.path() / "$temp-001.pdf")) return true;
  return false;
}

TEST_F(TarnwickRuns, AKilledRunsWorkFolderIsRemovedByTheNextStartAndBlocksNothing) {
  const fs::path first = MakeDocument(docs / "first", "scan", 1, 2);
  const fs::path second = MakeDocument(docs / "second", "scan", 2, 2);
  // The first run's tool never ends; the run is killed where no handler can
  // clean up.
  SlowPageTool(60000);
  const fs::path err = scratch.path() / "first.err";
  const int pid = StartProgram(exe, {first.string()}, first.parent_path(), err);
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return WorkFolderInUse(WorkRoot()); }, 30000));
  ::kill(pid, SIGKILL);
  WaitProcess(pid, 10000);
  EXPECT_TRUE(fs::exists(first));  // given up: kept
  std::string killedFolder;
  for (const auto& e : fs::directory_iterator(WorkRoot()))
    if (e.is_directory()) killedFolder = e.path().filename().string();
  ASSERT_NE(killedFolder, "");
  // Killed as it was putting its TIFF in place: the temporary file had its
  // name beside the source, and the note in the work folder named it. A
  // file of the same pattern that no note names is not ours to remove.
  const fs::path left = first.parent_path() / (".tarnwick-" + std::to_string(pid) + "-0.tif");
  const fs::path unnamed = first.parent_path() / (".tarnwick-" + std::to_string(pid) + "-1.tif");
  WriteFileBytes(left, "II*\0half a TIFF");
  WriteFileBytes(unnamed, "II*\0someone's");
  struct stat st {};
  ASSERT_EQ(::lstat(left.c_str(), &st), 0);
  WriteFileBytes(WorkRoot() / killedFolder / ::converter::kPlacementNote,
                 std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + "\n" + left.string());
  // Left in the work root by converters before per-process work folders:
  // folders named like work files.
  for (const char* n : {"$$temp$$.tif", "$$temp$$.pdf", "$$temp$$-000.pbm", "$temp-001.pdf"})
    fs::create_directories(WorkRoot() / n / "x");
  fs::remove(WorkRoot() / "pdfimages");

  ProgramRun r = RunProgram(exe, {second.string()}, second.parent_path(), 60000);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(CompareWithDocument(fs::path(second).replace_extension(".tif"), 2), "");
  EXPECT_FALSE(fs::exists(WorkRoot() / killedFolder));
  EXPECT_TRUE(fs::exists(first));
  EXPECT_FALSE(fs::exists(left));
  EXPECT_TRUE(fs::exists(unnamed));
}

TEST_F(TarnwickRuns, ARunEndedByASignalKeepsTheScanSaysSoAndCleansUp) {
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    const fs::path src = MakeDocument(docs / std::to_string(sig), "scan", 10 + sig, 2);
    SlowPageTool(60000);
    const fs::path err = scratch.path() / ("signal.err" + std::to_string(sig));
    const int pid = StartProgram(exe, {src.string()}, src.parent_path(), err);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor([&] { return WorkFolderInUse(WorkRoot()); }, 30000));
    ::kill(pid, sig);
    ProgramRun r = FinishProgram(pid, err, 20000);
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(::converter::kBatchInterrupted), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(src));
    EXPECT_FALSE(fs::exists(fs::path(src).replace_extension(".tif")));
    for (const auto& e : fs::directory_iterator(WorkRoot()))
      EXPECT_EQ(e.path().filename(), "pdfimages") << "left: " << e.path();
    // Saved on the way out.
    EXPECT_TRUE(fs::is_regular_file(run / "tarnwick.ini"));
  }
}

TEST_F(TarnwickRuns, AFileSizeLimitIsAFailedWriteThatKeepsTheScan) {
  TK_REQUIRE_TOOL("/usr/bin/prlimit");
  // Each row's limit falls on another of the run's writes, which the report
  // names with the reason.
  struct Case {
    const char* label;
    int pages, side;
    const char* limit;
    std::string said;
  } cases[] = {
      // Each page's image (30 KB from the page tool) stays under the limit,
      // the TIFF of all six pages (about 80 KB) does not.
      {"the TIFF", 6, 100, "--fsize=49152", "the page could not be added to "},
      // The page's own PDF in the work folder (about 90 KB) is over it.
      {"a page's file", 1, 300, "--fsize=40000", "$temp-001.pdf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = docs / c.label;
    const fs::path src = NoiseDocument(folder, c.pages, c.side);
    const std::string before = ReadFileBytes(src);

    const fs::path err = scratch.path() / "limited.err";
    const int pid = StartProcess({"/usr/bin/prlimit", c.limit, exe.string(), src.string()}, folder, err);
    ProgramRun r = FinishProgram(pid, err, 60000);
    EXPECT_FALSE(r.signalled);
    // Said and failed, not ended by the limit's signal (128 + SIGXFSZ).
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find(src.string()), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(std::strerror(EFBIG)), std::string::npos) << r.err;
    EXPECT_EQ(ReadFileBytes(src), before);
    for (const auto& e : fs::directory_iterator(folder)) EXPECT_EQ(e.path(), src) << "left: " << e.path();
    // The run's work folder went with it.
    if (fs::exists(WorkRoot()))
      for (const auto& e : fs::directory_iterator(WorkRoot())) ADD_FAILURE() << "left: " << e.path();
  }
}

TEST_F(TarnwickRuns, AWorkFolderThatFillsUpIsSaidNotTakenForADamagedScan) {
  TK_REQUIRE_TOOL("/usr/bin/unshare");
  // The run gets a work folder of its own size in a mount namespace of its
  // own, which goes with it.
  fs::create_directories(WorkRoot());
  const std::string mountWork = "mount -t tmpfs -o size=160k tmpfs \"$1\"";
  if (RunTool({"/usr/bin/unshare", "-m", "/bin/sh", "-c", mountWork, "sh", WorkRoot().string()}).exitCode !=
      0)
    GTEST_SKIP() << "no tmpfs in a private mount namespace here (it takes root)";
  // The page's own PDF (about 90 KB) fits; the page tool's image of it
  // (270 KB) does not, and the tool does not say so.
  const fs::path folder = docs / "full";
  const fs::path src = NoiseDocument(folder, 1, 300);
  const std::string before = ReadFileBytes(src);
  const fs::path err = scratch.path() / "full.err";
  const int pid =
      StartProcess({"/usr/bin/unshare", "-m", "/bin/sh", "-c", mountWork + " && exec \"$0\" \"$2\"",
                    exe.string(), WorkRoot().string(), src.string()},
                   folder, err);
  ProgramRun r = FinishProgram(pid, err, 60000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find(src.string()), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": the work folder "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(std::strerror(ENOSPC)), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(src), before);
  for (const auto& e : fs::directory_iterator(folder)) EXPECT_EQ(e.path(), src) << "left: " << e.path();
}

TEST_F(TarnwickRuns, ARelativeNameFromAFolderThatIsGoneIsRefusedNotTakenFromTheRoot) {
  // The scan's name without its leading slash: from the root of the file
  // system it names the scan.
  const fs::path src = MakeDocument(docs / "rooted", "scan", 40, 1);
  const std::string fromRoot = src.string().substr(1);
  const fs::path gone = scratch.path() / "gone";
  fs::create_directories(gone);
  const fs::path err = scratch.path() / "gone.err";
  const int pid = StartProcess({"/bin/sh", "-c", "cd \"$1\" && rmdir \"$1\" && exec \"$0\" \"$2\"",
                                exe.string(), gone.string(), fromRoot},
                               scratch.path(), err);
  ProgramRun r = FinishProgram(pid, err, 60000);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find(fromRoot + ": " + ::converter::kStartFolderGone), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(src));
  EXPECT_FALSE(fs::exists(fs::path(src).replace_extension(".tif")));
}

TEST_F(TarnwickRuns, SettingsThatCannotBeReadStopTheProgramBeforeItConverts) {
  int doc = 20;
  const fs::path ini = run / "tarnwick.ini";
  for (const auto& c : UnreadableFiles()) {
    SCOPED_TRACE(c.label);
    if (!UnreadableIni(c)) continue;
    const fs::path src = MakeDocument(docs / c.label, "scan", ++doc, 1);
    ProgramRun r = RunProgram(exe, {src.string()}, src.parent_path(), 20000);
    EXPECT_FALSE(r.signalled);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Unable to read " + ini.string()), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(src));
    EXPECT_FALSE(fs::exists(fs::path(src).replace_extension(".tif")));
  }
}

}  // namespace
}  // namespace tk::test::converter
