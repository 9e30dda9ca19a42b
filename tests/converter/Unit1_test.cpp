#include "converter/Unit1.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ConverterFixture.h"
#include "pdf/PdfFixture.h"
#include "pdf/kvPDFDoc.h"
#include "platform/os/DragDrop.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

using ::converter::Settings;
using ::converter::TForm1;

std::vector<std::string> Lines(const rtl::TStrings& list) {
  std::vector<std::string> v;
  for (int i = 0; i < list.Count(); ++i) v.push_back(list[i]);
  return v;
}

os::TDropWindow DropWindow(TForm1* f) {
  return static_cast<forms::TWinControl*>(f->PageControl1);
}

class Form1 : public ConverterFixture {
 protected:
  TNoPages* UseNoPages(TForm1* f) {
    auto p = std::make_unique<TNoPages>();
    TNoPages* raw = p.get();
    f->Pages = std::move(p);
    return raw;
  }
};

TEST_F(Form1, FirstStartWithoutSettings) {
  TForm1* f = Start();
  EXPECT_EQ(f->Caption(), ::converter::kMainCaption);
  EXPECT_EQ(f->ClientWidth(), 304);
  EXPECT_EQ(f->ClientHeight(), 281);
  EXPECT_EQ(f->Top, 0);
  EXPECT_EQ(f->Left, 0);
  EXPECT_EQ(f->PageControl1->ActivePage(), f->TabSheet1);
  for (auto* c : {f->CheckBox1, f->CheckBox2, f->CheckBox3, f->CheckBox4}) EXPECT_FALSE(c->Checked());
  EXPECT_EQ(Settings.Path, run.string() + "/");
  EXPECT_TRUE(fs::is_directory(Work()));  // made when missing
  EXPECT_EQ(f->LabelFile->Caption(), "");
  EXPECT_EQ(f->LabelState->Caption(), "");
  EXPECT_FALSE(fs::exists(scratch.path() / "inbox"));
}

TEST_F(Form1, SettingsReachTheControls) {
  Ini("[Pos]\nTop=30\nLeft=40\n[Mode]\nDD=1\n[App]\nDoLaunch=1\nLaunch=/opt/app\n[NoDel]\nORG=0\nTRG=2\n");
  TForm1* f = Start();
  EXPECT_EQ(f->Top, 30);
  EXPECT_EQ(f->Left, 40);
  EXPECT_TRUE(f->CheckBox1->Checked());
  EXPECT_TRUE(f->CheckBox2->Checked());
  EXPECT_FALSE(f->CheckBox3->Checked());
  EXPECT_TRUE(f->CheckBox4->Checked());
  EXPECT_EQ(f->EditLApp->Text, "/opt/app");
  // The click handler stored the box's state back: 1 or 0.
  EXPECT_EQ(Settings.TRG, 1);
}

TEST_F(Form1, CheckBoxesStoreOneOrZero) {
  TForm1* f = Start();
  struct Case {
    forms::TCheckBox* box;
    int* setting;
  } cases[] = {{f->CheckBox1, &Settings.DD},
               {f->CheckBox2, &Settings.DoLaunch},
               {f->CheckBox3, &Settings.ORG},
               {f->CheckBox4, &Settings.TRG}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box->Name);
    c.box->Click();
    EXPECT_EQ(*c.setting, 1);
    c.box->Click();
    EXPECT_EQ(*c.setting, 0);
  }
}

TEST_F(Form1, StartClearsTheWorkRootOfLooseWorkFiles) {
  // Left there by converters before each had a work folder of its own.
  fs::create_directories(WorkRoot());
  for (const char* n : {"a.pdf", "b.tif", "c.bmp", "d.jpg", "e.pbm", "f.ppm", "$$temp$$.tif"})
    WriteFileBytes(WorkRoot() / n, "x");
  for (const char* n : {"pdfimages", "notes.txt", "keep.pgm"}) WriteFileBytes(WorkRoot() / n, "x");
  fs::create_directories(WorkRoot() / "sub.pdf");
  Start();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(WorkRoot())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  const std::string own = Work().filename().string();
  EXPECT_EQ(left, (std::vector<std::string>{own, "keep.pgm", "notes.txt", "pdfimages", "sub.pdf"}));
  // Into this test's Trash, where they can be restored from.
  EXPECT_TRUE(fs::exists(scratch.path() / "data" / "Trash" / "files" / "a.pdf"));
  // The work folder goes with the program.
  Stop();
  EXPECT_FALSE(fs::exists(WorkRoot() / own));
}

// A log entry as a run writes it: the file's path and its mark.
std::string LogEntry(int i, const fs::path& p) {
  return "Logs" + std::to_string(i) + "=" + p.string() + "\nMark" + std::to_string(i) + "=" +
         ::converter::FileMark(p.string()) + "\n";
}

TEST_F(Form1, StartDeletesOnlyLoggedTiffsThatAreStillTheFilesItMade) {
  fs::create_directories(docs / "sub");
  struct Case {
    const char* label;
    // Makes what the entry names and returns the log lines of entry i.
    std::function<std::string(int i)> make;
    fs::path file;  // what must be deleted, or stay
    bool deleted;   // not there afterwards
    bool noted;     // counted in the start's note
  } cases[] = {
      {"the TIFF as made",
       [&](int i) {
         WriteFileBytes(docs / "made.tif", "x");
         return LogEntry(i, docs / "made.tif");
       },
       docs / "made.tif", true, false},
      {"gone already",
       [&](int i) { return "Logs" + std::to_string(i) + "=" + (docs / "gone.tif").string() + "\n"; },
       docs / "gone.tif", true, false},
      {"another file under the name since",
       [&](int i) {
         WriteFileBytes(docs / "replaced.tif", "old");
         std::string line = LogEntry(i, docs / "replaced.tif");
         fs::remove(docs / "replaced.tif");
         WriteFileBytes(docs / "new", "new");
         fs::rename(docs / "new", docs / "replaced.tif");
         return line;
       },
       docs / "replaced.tif", false, true},
      {"changed since",
       [&](int i) {
         WriteFileBytes(docs / "grown.tif", "x");
         std::string line = LogEntry(i, docs / "grown.tif");
         WriteFileBytes(docs / "grown.tif", "xx");
         return line;
       },
       docs / "grown.tif", false, true},
      {"an older log without marks",
       [&](int i) {
         WriteFileBytes(docs / "unmarked.tif", "x");
         return "Logs" + std::to_string(i) + "=" + (docs / "unmarked.tif").string() + "\n";
       },
       docs / "unmarked.tif", false, true},
      {"not a TIFF's name",
       [&](int i) {
         WriteFileBytes(docs / "scan.pdf", "x");
         return LogEntry(i, docs / "scan.pdf");
       },
       docs / "scan.pdf", false, true},
      {"a relative name",
       [&](int i) {
         WriteFileBytes(docs / "rel.tif", "x");
         return "Logs" + std::to_string(i) + "=rel.tif\nMark" + std::to_string(i) + "=" +
                ::converter::FileMark((docs / "rel.tif").string()) + "\n";
       },
       docs / "rel.tif", false, true},
      {"a link",
       [&](int i) {
         WriteFileBytes(docs / "target.tif", "x");
         fs::create_symlink(docs / "target.tif", docs / "link.tif");
         // The mark of what the link points to, which lstat would not give.
         return "Logs" + std::to_string(i) + "=" + (docs / "link.tif").string() + "\nMark" +
                std::to_string(i) + "=" + ::converter::FileMark((docs / "target.tif").string()) + "\n";
       },
       docs / "target.tif", false, true},
      {"inside the program's folder",
       [&](int i) {
         WriteFileBytes(run / "own.tif", "x");
         return LogEntry(i, run / "own.tif");
       },
       run / "own.tif", false, true},
      {"into the program's folder by a link",
       [&](int i) {
         fs::create_directory_symlink(run, docs / "runlink");
         WriteFileBytes(run / "via.tif", "x");
         return LogEntry(i, docs / "runlink" / "via.tif");
       },
       run / "via.tif", false, true},
      {"a folder",
       [&](int i) {
         fs::create_directories(docs / "dir.tif");
         return LogEntry(i, docs / "dir.tif");
       },
       docs / "dir.tif", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFileBytes(run / "tarnwick.log", "[File]\n" + c.make(0));
    TForm1* f = Start();
    EXPECT_EQ(fs::exists(c.file), !c.deleted);
    EXPECT_EQ(f->LabelState->Caption(), c.noted ? rtl::Format(::converter::kLogDroppedNote, {1}) : "");
    // Every entry is done with: the next start finds none.
    EXPECT_TRUE(::converter::ReadLog().empty());
    Stop();
  }
}

// A TIFF of the last run named on the command line is refused as a source
// later; the start must not delete it first, by whichever name it is given.
TEST_F(Form1, LoggedTiffNamedOnTheCommandLineStaysAtTheStart) {
  struct Case {
    const char* label;
    std::function<std::string()> name;
  } cases[] = {
      {"its own name", [&] { return (docs / "made.tif").string(); }},
      {"a second link to it",
       [&] {
         fs::create_hard_link(docs / "made.tif", docs / "again.tif");
         return (docs / "again.tif").string();
       }},
      {"a link to it",
       [&] {
         fs::create_symlink(docs / "made.tif", docs / "link.pdf");
         return (docs / "link.pdf").string();
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFileBytes(docs / "made.tif", "x");
    WriteFileBytes(docs / "other.tif", "y");
    WriteFileBytes(run / "tarnwick.log",
                   "[File]\n" + LogEntry(0, docs / "made.tif") + LogEntry(1, docs / "other.tif"));
    Start({c.name()});
    EXPECT_TRUE(fs::exists(docs / "made.tif"));
    EXPECT_FALSE(fs::exists(docs / "other.tif"));
    Stop();
    for (const char* n : {"made.tif", "again.tif", "link.pdf"}) fs::remove(docs / n);
  }
}

TEST_F(Form1, LogWithAGapDeletesOnlyUpToTheGap) {
  WriteFileBytes(docs / "a.tif", "x");
  WriteFileBytes(docs / "c.tif", "x");
  WriteFileBytes(run / "tarnwick.log",
                 "[File]\n" + LogEntry(0, docs / "a.tif") + LogEntry(2, docs / "c.tif"));
  Start();
  EXPECT_FALSE(fs::exists(docs / "a.tif"));
  EXPECT_TRUE(fs::exists(docs / "c.tif"));
}

TEST_F(Form1, AFileNameWithALineBreakIsLoggedBesideTheOthers) {
  const std::vector<fs::path> tifs = {docs / "one.tif", docs / "two\nlines.tif", docs / "three.tif"};
  TForm1* f = Start();
  for (const auto& t : tifs) {
    WriteFileBytes(t, "x");
    f->AddProduced(t.string());
  }
  f->Close();
  std::vector<std::string> want;
  for (const auto& t : tifs) want.push_back(t.string());
  EXPECT_EQ(::converter::ReadLog(), want);
  Stop();
  Start();
  for (const auto& t : tifs) EXPECT_FALSE(fs::exists(t)) << t;
}

TEST_F(Form1, CloseKeepsWhatConvertersBesideItLoggedMeanwhile) {
  WriteFileBytes(docs / "mine.tif", "x");
  WriteFileBytes(docs / "theirs.tif", "y");
  TForm1* f = Start();
  f->AddProduced((docs / "mine.tif").string());
  // Another converter closed after our start.
  ::converter::WriteLog(
      {{(docs / "theirs.tif").string(), ::converter::FileMark((docs / "theirs.tif").string())}});
  f->Close();
  EXPECT_EQ(::converter::ReadLog(),
            (std::vector<std::string>{(docs / "theirs.tif").string(), (docs / "mine.tif").string()}));
  Stop();
  // The next start deletes both.
  Start();
  EXPECT_FALSE(fs::exists(docs / "mine.tif"));
  EXPECT_FALSE(fs::exists(docs / "theirs.tif"));
}

TEST_F(Form1, StartRemovesTemporariesOfSavesThatWereKilled) {
  // Our own id stands for a process that is gone: it is not saving now.
  const std::string own = std::to_string(::getpid());
  WriteFileBytes(run / (".tarnwick.ini.tmp" + own + "-0"), "[Pos]\nTop=");
  WriteFileBytes(run / (".tarnwick.log.tmp" + own + "-4"), "[File]\nLogs0=");
  WriteFileBytes(run / ".notes.tmp1-1", "x");
  Start();
  EXPECT_FALSE(fs::exists(run / (".tarnwick.ini.tmp" + own + "-0")));
  EXPECT_FALSE(fs::exists(run / (".tarnwick.log.tmp" + own + "-4")));
  EXPECT_TRUE(fs::exists(run / ".notes.tmp1-1"));
}

TEST_F(Form1, AFilingWaitThatExpiresFailsTheCommandLineBatchAndKeepsTheTiff) {
  TK_REQUIRE_TOOL("pdfimages");
  WriteFileBytes(docs / "lumora_filing", "");
  WriteFileBytes(docs / "a.pdf", ImagePdf());
  WriteFileBytes(docs / "b.pdf", ImagePdf());
  Ini("[App]\nDoLaunch=1\nLaunch=" + (docs / "lumora_filing").string() + "\n");
  TForm1* f = Start({(docs / "a.pdf").string(), (docs / "b.pdf").string()});
  int64_t now = 0;
  f->Handover->NowMs = [&] { return now; };
  f->Handover->Sleep = [&](int ms) { now += ms; };
  f->Handover->Start = [](const std::string&, const std::vector<std::string>&, const std::string&) {
    return 0;
  };
  // The window stays open after the error; the user closes it.
  app->AddPoller([&] {
    if (!presenter->Messages.empty() && !f->Closed()) f->Close();
  });
  app->Run();
  EXPECT_EQ(app->ExitCode, 1);
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text.rfind(::converter::kFilingWaitExpired, 0), 0u);
  // The first scan is in its TIFF, which nobody got: it is not logged for
  // deletion. The second was not converted.
  EXPECT_FALSE(fs::exists(docs / "a.pdf"));
  EXPECT_TRUE(fs::exists(docs / "a.tif"));
  EXPECT_TRUE(fs::exists(docs / "b.pdf"));
  EXPECT_TRUE(::converter::ReadLog().empty());
  Stop();
  Start();
  EXPECT_TRUE(fs::exists(docs / "a.tif"));
}

// The program is closed while it waits for the filing application's window
// (its window closed by the user, or a termination signal): the wait ends
// there, and the TIFF, whose source is gone and which nobody got, is neither
// logged for deletion nor deleted at the next start.
TEST_F(Form1, AProgramClosedDuringTheFilingWaitEndsItAndKeepsTheTiff) {
  TK_REQUIRE_TOOL("pdfimages");
  struct Case {
    const char* name;
    std::function<void(TForm1*)> close;
  };
  const Case cases[] = {
      {"window closed", [](TForm1* f) { f->Close(); }},
      {"signal", [](TForm1*) { forms::TApplication::RequestCloseFromSignal(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(docs / "a.tif");
    WriteFileBytes(docs / "lumora_filing", "");
    WriteFileBytes(docs / "a.pdf", ImagePdf());
    Ini("[App]\nDoLaunch=1\nLaunch=" + (docs / "lumora_filing").string() + "\n");
    TForm1* f = Start({(docs / "a.pdf").string()});
    int64_t now = 0;
    f->Handover->NowMs = [&] { return now; };
    f->Handover->Sleep = [&](int ms) {
      now += ms;
      c.close(f);
    };
    f->Handover->Start = [](const std::string&, const std::vector<std::string>&, const std::string&) {
      return 0;
    };
    app->Run();
    EXPECT_LT(now, ::converter::kFilingWaitLimitMs);
    EXPECT_TRUE(f->Closed());
    EXPECT_EQ(app->ExitCode, 1);
    EXPECT_FALSE(fs::exists(docs / "a.pdf"));
    EXPECT_TRUE(fs::exists(docs / "a.tif"));
    EXPECT_TRUE(::converter::ReadLog().empty());
    Stop();
    Start();
    EXPECT_TRUE(fs::exists(docs / "a.tif"));
    Stop();
  }
}

// The TIFF of the last batch, whose source is gone, is itself dropped on
// the window (from a file manager; by another name of it, a second link):
// the new batch refuses it, and does not delete it first as one of the
// last batch's TIFFs.
TEST_F(Form1, ABatchGivenTheLastBatchsTiffKeepsIt) {
  struct Case {
    const char* name;
    std::string given;
  };
  const Case cases[] = {
      {"its own name", (docs / "a.tif").string()},
      {"another link to it", (docs / "link.tif").string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(docs / "a.tif", "the only copy of a scan");
    fs::remove(docs / "link.tif");
    fs::create_hard_link(docs / "a.tif", docs / "link.tif");
    TForm1* f = Start();
    UseNoPages(f);
    f->AddProduced((docs / "a.tif").string());
    EXPECT_ANY_THROW(f->RunBatch({c.given}, false));
    EXPECT_EQ(ReadFileBytes(docs / "a.tif"), "the only copy of a scan");
    Stop();
  }
}

TEST_F(Form1, UnreadableSettingsEndTheProgramBeforeItTouchesAnyFile) {
  // A folder stands for every kind of settings file that cannot be read.
  fs::create_directories(run / "tarnwick.ini");
  WriteFileBytes(docs / "scan.pdf", "x");
  WriteFileBytes(docs / "made.tif", "x");
  WriteFileBytes(run / "tarnwick.log", "[File]\n" + LogEntry(0, docs / "made.tif"));
  const std::string log = ReadFileBytes(run / "tarnwick.log");
  TForm1* f = Start({(docs / "scan.pdf").string()});
  TNoPages* pages = UseNoPages(f);
  EXPECT_TRUE(f->StartFailed());
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text.rfind("Unable to read " + (run / "tarnwick.ini").string() + ": ", 0),
            0u)
      << presenter->Messages[0].Text;
  app->Run();
  EXPECT_TRUE(pages->Loads.empty());
  EXPECT_EQ(app->ExitCode, 1);
  EXPECT_TRUE(fs::exists(docs / "scan.pdf"));
  EXPECT_TRUE(fs::exists(docs / "made.tif"));
  EXPECT_EQ(ReadFileBytes(run / "tarnwick.log"), log);
  EXPECT_TRUE(fs::is_directory(run / "tarnwick.ini"));
}

TEST_F(Form1, ProgramInAConvertFolderMakesAnInboxBesideIt) {
  for (const char* name : {"convert", "Convert", "CONVERT"}) {
    SCOPED_TRACE(name);
    fs::path exeDir = scratch.path() / ("p" + std::string(name)) / name;
    fs::create_directories(exeDir);
    rtl::SetExecutableFileName((exeDir / "tarnwick").string());
    forms::TApplication a;
    a.SetPresenter(std::make_unique<forms::TScriptedPresenter>());
    TForm1* f = nullptr;
    a.CreateForm(f);
    EXPECT_TRUE(fs::is_directory(exeDir.parent_path() / "inbox"));
  }
}

TEST_F(Form1, CloseWritesTheLogAndTheSettingsAndTheyComeBack) {
  TForm1* f = Start();
  // Only files that are there are logged, each with its mark.
  for (const char* n : {"one.tif", "two.tif"}) {
    WriteFileBytes(docs / n, "x");
    f->AddProduced((docs / n).string());
  }
  f->DropFileSource1->Files().Add((docs / "unmarked.tif").string());
  f->Top = 77;
  f->Left = 88;
  f->CheckBox3->SetChecked(true);
  f->Close();
  EXPECT_TRUE(app->Terminated());
  const auto logged = ::converter::ReadLogEntries();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].Path, (docs / "one.tif").string());
  EXPECT_EQ(logged[0].Mark, ::converter::FileMark((docs / "one.tif").string()));
  EXPECT_EQ(logged[1].Path, (docs / "two.tif").string());
  Stop();
  Settings = {};
  f = Start();
  EXPECT_EQ(f->Top, 77);
  EXPECT_EQ(f->Left, 88);
  EXPECT_TRUE(f->CheckBox3->Checked());
}

TEST_F(Form1, CloseWithTrgDeletesTheLogAndMinimisedKeepsThePosition) {
  Ini("[Pos]\nTop=5\nLeft=6\n");
  WriteFileBytes(run / "tarnwick.log", "[File]\nLogs0=/nothing.tif\n");
  TForm1* f = Start();
  f->CheckBox4->SetChecked(true);
  f->DropFileSource1->Files().Add("/d/one.tif");
  f->WindowState = forms::wsMinimized;
  f->Top = 500;
  f->Close();
  EXPECT_FALSE(fs::exists(run / "tarnwick.log"));
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 5);
  EXPECT_EQ(ini.ReadInteger("NoDel", "TRG", -1), 1);
}

TEST_F(Form1, CommandLineBatchTakesExistingFilesAndCloses) {
  WriteFileBytes(docs / "a.pdf", "x");
  WriteFileBytes(docs / "b c.pdf", "x");
  WriteFileBytes(docs / "star.pdf", "x");
  fs::current_path(docs);
  TForm1* f = Start({"a.pdf", (docs / "missing.pdf").string(), (docs / "b c.pdf").string() + "/", "s*.pdf"});
  TNoPages* pages = UseNoPages(f);
  fs::current_path(run);  // the batch must not depend on the current folder
  app->Run();
  EXPECT_EQ(pages->Loads, (std::vector<std::string>{(docs / "a.pdf").string(), (docs / "b c.pdf").string()}));
  EXPECT_TRUE(f->Closed());
  // Reactivation does not run the batch again.
  f->Deactivate();
  f->Activate();
  EXPECT_EQ(pages->Loads.size(), 2u);
}

TEST_F(Form1, DragModeKeepsTheWindowOpenAndAnErrorStopsTheBatch) {
  WriteFileBytes(docs / "a.pdf", "x");
  WriteFileBytes(docs / "b.pdf", "x");
  {
    Ini("[Mode]\nDD=1\n");
    TForm1* f = Start({(docs / "a.pdf").string()});
    TNoPages* pages = UseNoPages(f);
    f->Activate();
    EXPECT_EQ(pages->Loads.size(), 1u);
    EXPECT_FALSE(f->Closed());
  }
  {
    Ini("[Mode]\nDD=0\n");
    TForm1* f = Start({(docs / "a.pdf").string(), (docs / "b.pdf").string()});
    TNoPages* pages = UseNoPages(f);
    pages->FailOn = (docs / "a.pdf").string();
    // The window stays open after the error; the user closes it.
    app->AddPoller([&] {
      if (!presenter->Messages.empty() && !f->Closed()) f->Close();
    });
    app->Run();
    EXPECT_EQ(pages->Loads.size(), 1u);
    ASSERT_EQ(presenter->Messages.size(), 1u);
    EXPECT_EQ(presenter->Messages[0].Text, "Wrong password.");
    EXPECT_EQ(presenter->Messages[0].Caption, ::converter::kApplicationTitle);
  }
}

TEST_F(Form1, BatchDeletesThePreviousTiffsUnlessKept) {
  for (int trg : {0, 1}) {
    SCOPED_TRACE(trg);
    TForm1* f = Start();
    UseNoPages(f);
    f->CheckBox4->SetChecked(trg != 0);
    WriteFileBytes(docs / "prev.tif", "x");
    f->AddProduced((docs / "prev.tif").string());
    // Put there by someone else since the batch made it: not ours.
    WriteFileBytes(docs / "taken.tif", "x");
    f->AddProduced((docs / "taken.tif").string());
    fs::remove(docs / "taken.tif");
    WriteFileBytes(docs / "taken.tif", "another");
    f->RunBatch({}, false);
    EXPECT_EQ(fs::exists(docs / "prev.tif"), trg != 0);
    EXPECT_TRUE(fs::exists(docs / "taken.tif"));
    EXPECT_EQ(f->DropFileSource1->Files().Count(), 0);
    EXPECT_TRUE(f->SpeedButtonLoad->Enabled());
  }
}

TEST_F(Form1, BatchTable) {
  TK_REQUIRE_TOOL("pdfimages");
  enum Entry { kChooser, kDrop, kCommandLine };
  const char* names[] = {"chooser", "drop", "command line"};
  for (Entry entry : {kChooser, kDrop, kCommandLine})
    for (int trg : {0, 1})
      for (bool error : {false, true}) {
        const std::string label = std::string(names[entry]) + (trg ? ", TRG" : "") + (error ? ", error" : "");
        SCOPED_TRACE(label);
        const fs::path dir = docs / label;
        fs::create_directories(dir);
        WriteFileBytes(dir / "c.pdf", ImagePdf());
        WriteFileBytes(dir / "a.pdf", ImagePdf());
        WriteFileBytes(dir / "bad.pdf", "no PDF at all");
        WriteFileBytes(dir / "prev.tif", "x");
        WriteFileBytes(dir / "viewer", "");
        // Not in name order: the batch keeps the order it was given.
        std::vector<std::string> paths = {(dir / "c.pdf").string(), (dir / "a.pdf").string()};
        if (error) paths.insert(paths.begin() + 1, (dir / "bad.pdf").string());
        Ini("[Mode]\nDD=1\n[App]\nDoLaunch=1\nLaunch=" + (dir / "viewer").string() + "\n");
        TForm1* f = Start(entry == kCommandLine ? paths : std::vector<std::string>{});
        f->CheckBox4->SetChecked(trg != 0);
        f->AddProduced((dir / "prev.tif").string());
        std::vector<std::vector<std::string>> started;
        f->Handover->Start = [&](const std::string&, const std::vector<std::string>& args,
                                 const std::string&) {
          started.push_back(args);
          return 0;
        };
        bool sawBusy = false, buttonDuring = false, acceptDuring = false;
        app->AddPoller([&] {
          if (!f->Busy()) return;
          sawBusy = true;
          buttonDuring = f->SpeedButtonLoad->Enabled();
          acceptDuring = f->FileDrop1->Accept();
        });
        try {
          if (entry == kChooser) {
            presenter->OpenAnswers.push_back(paths);
            f->SpeedButtonLoad->Click();
          } else if (entry == kDrop) {
            EXPECT_TRUE(os::DeliverDrop(DropWindow(f), {paths, 5, 6}));
          } else {
            f->Activate();
          }
        } catch (const std::exception& e) {
          app->HandleException(e);  // as the message loop reports it
        }

        EXPECT_TRUE(sawBusy);
        EXPECT_EQ(buttonDuring, entry == kCommandLine);
        EXPECT_EQ(acceptDuring, entry == kCommandLine);
        EXPECT_FALSE(f->Busy());
        EXPECT_TRUE(f->SpeedButtonLoad->Enabled());
        EXPECT_TRUE(f->FileDrop1->Accept());
        EXPECT_EQ(fs::exists(dir / "prev.tif"), trg != 0);
        std::vector<std::string> produced = {(dir / "c.tif").string()};
        if (!error) produced.push_back((dir / "a.tif").string());
        EXPECT_EQ(Lines(f->DropFileSource1->Files()), produced);
        EXPECT_EQ(fs::exists(dir / "a.tif"), !error);
        std::vector<std::vector<std::string>> handed;
        for (const auto& p : produced) handed.push_back({p});
        EXPECT_EQ(started, handed);
        EXPECT_EQ(presenter->Messages.size(), error ? 1u : 0u);
        if (entry == kChooser) {
          EXPECT_EQ(presenter->OpenTitles, (std::vector<std::string>{"ファイルの読み込み"}));
          EXPECT_EQ(f->OpenDialog1->Filter, ::converter::kPdfFilter);
          EXPECT_EQ(f->OpenDialog1->DefaultExt, ::converter::kPdfExt);
        }
        EXPECT_FALSE(f->Closed());
        Stop();
      }
}

TEST_F(Form1, OtherEntriesRefuseWhileABatchRuns) {
  WriteFileBytes(docs / "a.pdf", "x");
  WriteFileBytes(docs / "b.pdf", "x");
  const std::string a = (docs / "a.pdf").string(), b = (docs / "b.pdf").string();
  for (bool commandLine : {true, false}) {
    SCOPED_TRACE(commandLine ? "command line" : "chooser");
    Ini("[Mode]\nDD=1\n");
    TForm1* f = Start(commandLine ? std::vector<std::string>{a} : std::vector<std::string>{});
    TNoPages* pages = UseNoPages(f);
    bool delivered = true, second = true;
    pages->OnLoad = [&](const std::string& path) {
      if (path != a) return;
      presenter->OpenAnswers.push_back({b});
      f->SpeedButtonLoad->Click();
      // The command-line batch keeps the drop target open: the drop
      // arrives and is turned away.
      delivered = os::DeliverDrop(DropWindow(f), {{b}, 0, 0});
      second = f->RunBatch({b}, false);
    };
    if (commandLine) {
      f->Activate();
    } else {
      presenter->OpenAnswers.push_back({a});
      f->SpeedButtonLoad->Click();
    }
    EXPECT_EQ(pages->Loads, (std::vector<std::string>{a}));
    EXPECT_EQ(presenter->OpenTitles.size(), commandLine ? 0u : 1u);  // no second chooser
    EXPECT_EQ(delivered, commandLine);
    EXPECT_FALSE(second);
    // Afterwards the entries work again.
    pages->OnLoad = nullptr;
    EXPECT_TRUE(os::DeliverDrop(DropWindow(f), {{b}, 0, 0}));
    EXPECT_EQ(pages->Loads, (std::vector<std::string>{a, b}));
  }
}

TEST_F(Form1, CloseDuringABatchWaitsForItsEndAndItsSenderToo) {
  WriteFileBytes(docs / "a.pdf", "x");
  WriteFileBytes(docs / "b.pdf", "x");
  const std::string a = (docs / "a.pdf").string(), b = (docs / "b.pdf").string();
  const fs::path closer =
      tk::test::StandIn(scratch.path(), "closer",
                        "close_title=Corvane\nwindir=" + os::TWindowDirectory::Default().Folder().string() +
                            "\nreport=" + (run / "tarnwick.ini").string() + "\n");
  TForm1* f = Start();
  TNoPages* pages = UseNoPages(f);
  f->Show();  // its window is listed now
  int pid = -1;
  bool savedEarly = true;
  pages->OnLoad = [&](const std::string& path) {
    if (path != a) return;
    pid = StartProcess({closer.string()});
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitFor(
        [&] {
          app->ProcessMessages();
          return f->ClosePending();
        },
        20000));
    savedEarly = fs::exists(run / "tarnwick.ini");
  };
  presenter->OpenAnswers.push_back({a, b});
  f->SpeedButtonLoad->Click();
  EXPECT_FALSE(savedEarly);
  EXPECT_EQ(pages->Loads, (std::vector<std::string>{a, b}));  // the batch went on to its end
  EXPECT_TRUE(f->Closed());
  EXPECT_TRUE(app->Terminated());
  EXPECT_FALSE(f->ClosePending());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitProcess(pid, 20000), 0);
  // The sender was answered once the settings were written.
  const std::string log = ReadFileBytes(closer.string() + ".log");
  EXPECT_NE(log.find("sent ok=1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("report=Path=" + run.string() + "/\n"), std::string::npos) << log;
}

TEST_F(Form1, SignalDuringAFilingWaitEndsTheWaitAndTheBatch) {
  WriteFileBytes(docs / "lumora_filing", "");
  Ini("[App]\nDoLaunch=1\nLaunch=" + (docs / "lumora_filing").string() + "\n");
  TForm1* f = Start();
  int64_t now = 0;
  f->Handover->NowMs = [&] { return now; };
  f->Handover->Sleep = [&](int ms) { now += ms; };
  f->Handover->Start = [](const std::string&, const std::vector<std::string>&, const std::string&) {
    return 0;
  };
  WriteFileBytes(docs / "a.tif", "x");
  f->AddProduced((docs / "a.tif").string());
  // Nobody shows the window: the limit ends the wait and the batch, and
  // says so.
  try {
    f->HandOff((docs / "a.tif").string());
    ADD_FAILURE() << "no error";
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(std::string(e.what()), ::converter::kFilingWaitExpired);
  }
  EXPECT_EQ(f->LabelState->Caption(), ::converter::kFilingWaitExpired);
  EXPECT_EQ(now, ::converter::kFilingWaitLimitMs);
  // A signal while waiting gives the batch up at once.
  now = 0;
  f->Handover->Sleep = [&](int) { app->RequestCloseFromSignal(); };
  EXPECT_THROW(f->HandOff((docs / "a.tif").string()), rtl::EAbort);
  EXPECT_EQ(now, 0);
  EXPECT_TRUE(f->Closed());
  // Never handed over: the TIFF may be the scan's only copy, and is not
  // logged for deletion.
  EXPECT_TRUE(::converter::ReadLog().empty());
}

TEST_F(Form1, HandOffPassesOnlyTiffsOfThisBatch) {
  WriteFileBytes(docs / "x.pdf", "x");
  WriteFileBytes(docs / "x.tif", "an older conversion");
  WriteFileBytes(docs / "viewer", "");
  Ini("[App]\nDoLaunch=1\nLaunch=" + (docs / "viewer").string() + "\n[NoDel]\nTRG=1\n");
  TForm1* f = Start();
  UseNoPages(f);  // converts nothing
  int starts = 0;
  f->Handover->Start = [&](const std::string&, const std::vector<std::string>&, const std::string&) {
    return ++starts, 0;
  };
  f->DropFileSource1->Files().Add((docs / "x.tif").string());  // the previous batch's, kept
  EXPECT_TRUE(f->RunBatch({(docs / "x.pdf").string()}, false));
  EXPECT_EQ(starts, 0);
  EXPECT_TRUE(fs::exists(docs / "x.tif"));
}

TEST_F(Form1, ChoosingTheApplicationAndAnEmptyDrop) {
  TForm1* f = Start();
  TNoPages* pages = UseNoPages(f);
  presenter->OpenAnswers.push_back({"/opt/filing/lumora_filing"});
  f->ButtonLApp->Click();
  EXPECT_EQ(Settings.Launch, "/opt/filing/lumora_filing");
  EXPECT_EQ(f->EditLApp->Text, "/opt/filing/lumora_filing");
  EXPECT_EQ(f->OpenDialog1->Filter, ::converter::kExeFilter);
  EXPECT_EQ(f->OpenDialog1->DefaultExt, ::converter::kExeExt);
  f->ButtonLApp->Click();  // cancelled: unchanged
  EXPECT_EQ(Settings.Launch, "/opt/filing/lumora_filing");
  f->EditLApp->Text = "/typed";  // typing changes nothing
  EXPECT_EQ(Settings.Launch, "/opt/filing/lumora_filing");

  rtl::TStringList files;
  files.Add((docs / "a.pdf").string());
  f->FileDrop1FileDrop(f->FileDrop1, 0, files, 0, 0);
  f->SpeedButtonLoad->Click();  // chooser cancelled
  EXPECT_TRUE(pages->Loads.empty());
  EXPECT_TRUE(f->DropFileSource1->Files().Count() == 0);
}

TEST_F(Form1, FilingWindowPresentTable) {
  const std::string filing = "Lumora\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAA\xE3\x83\xB3\xE3\x82\xB0";
  TForm1* f = Start();
  f->Show();  // the converter's own window: "Corvane☆ for " + the words
  EXPECT_FALSE(f->FilingWindowPresent());
  const uint32_t frame = os::WS_CAPTION | os::WS_SYSMENU | os::WS_MINIMIZEBOX;
  struct Case {
    std::string title;
    bool visible;
    bool child;
    bool present;
  } cases[] = {
      {filing, true, false, true},
      {"LUMORA" + filing.substr(6) + "6 - [inbox]", true, false, true},
      {::converter::kApplicationTitle, true, false, false},
      {"Lumora viewer", true, false, false},
      {filing.substr(6), true, false, false},
      {filing, false, false, false},  // hidden
      {filing, true, true, false},    // a child window
  };
  auto& dir = os::TWindowDirectory::Default();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title + (c.visible ? "" : " hidden") + (c.child ? " child" : ""));
    os::TWindowRecord r;
    r.Title = c.title;
    r.ClassName = "TStandIn";
    r.Visible = c.visible;
    r.Style = frame;
    r.Parent = c.child ? f->Handle() : 0;
    os::HWND h = dir.CreateWindow(r, nullptr);
    EXPECT_EQ(f->FilingWindowPresent(), c.present);
    dir.DestroyWindow(h);
  }
}

// A document that converts to nothing changes nothing, and is a failure the
// user hears of: the source stays, said in the status line and a message.
TEST_F(Form1, DocumentWithoutPagesChangesNothingAndSaysSo) {
  TForm1* f = Start();
  TNoPages* pages = UseNoPages(f);
  WriteFileBytes(docs / "empty.pdf", "x");
  f->ConvertDocument((docs / "empty.pdf").string());
  EXPECT_EQ(pages->Loads.size(), 1u);
  EXPECT_TRUE(fs::exists(docs / "empty.pdf"));
  EXPECT_FALSE(fs::exists(docs / "empty.tif"));
  EXPECT_EQ(f->DropFileSource1->Files().Count(), 0);
  EXPECT_EQ(f->LabelFile->Caption(), "ファイルempty.pdf");
  EXPECT_EQ(f->LabelState->Caption(), "変換できるページがありません（ＰＤＦを残します）");
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, "empty.pdf: 変換できるページがありません（ＰＤＦを残します）");
  EXPECT_EQ(f->KeptDocuments, 1);
}

TEST_F(Form1, MissingWorkFolderFailsWithAnInputOutputError) {
  TForm1* f = Start();
  UseNoPages(f);
  fs::remove_all(Work());
  WriteFileBytes(docs / "a.pdf", "x");
  try {
    f->ConvertDocument((docs / "a.pdf").string());
    ADD_FAILURE() << "converted without a work folder";
  } catch (const rtl::EInOutError& e) {
    // Said as the work folder's fault, not the scan's.
    EXPECT_NE(e.Message.find(Work().string() + "/ cannot be entered: " + std::strerror(ENOENT)),
              std::string::npos)
        << e.Message;
  }
  EXPECT_TRUE(fs::exists(docs / "a.pdf"));
}

TEST(PageResolution, Table) {
  struct Case {
    int pixels, width;
    unsigned want;
  } cases[] = {
      {1654, 21000, 200},  // A4 at 200 dpi
      {2480, 21000, 299},  // 2480 / 8.2677 = 299.96, truncated
      {100, 0, 0},         // degenerate box: no resolution
      {2000, 1, 33728},    // 5080000 dpi: the low 16 bits
      {0, 21000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pixels);
    EXPECT_EQ(::converter::PageResolution(c.pixels, c.width), c.want);
  }
}

TEST(ExpandLongPath, ExactNamesOnly) {
  ScratchDir dir;
  fs::create_directories(dir / "sub");
  WriteFileBytes(dir / "sub" / "a.pdf", "x");
  const std::string d = dir.path().string();
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"/", "/"},
      {d + "/sub/a.pdf", d + "/sub/a.pdf"},
      {d + "/sub/", d + "/sub"},
      {d + "/sub/*.pdf", d + "/sub/*.pdf"},  // no wildcard lookup
      {d + "/sub/A.PDF", d + "/sub/A.PDF"},  // names are exact
      {d + "/none/a.pdf", d + "/none/a.pdf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(::converter::ExpandLongPath(c.in), c.out);
  }
}

}  // namespace
}  // namespace tk::test::converter
