#include "converter/Unit1.h"

#include <gtest/gtest.h>

#include "ConverterFixture.h"
#include "pdf/kvPDFDoc.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

using ::converter::Settings;
using ::converter::TForm1;

// Pages of nothing: records what the batch asked for.
class TNoPages : public ::converter::TPageSource {
 public:
  void LoadFromFile(const std::string& path) override {
    Loads.push_back(path);
    if (FailOn == path) throw rtl::Exception("Wrong password.");
  }
  int PageCount() override { return 0; }
  void FreeOutlines() override {}
  void ExtractPage(const std::string&, int) override {}
  ::converter::TPageBox PageSize(int) override { return {}; }
  int PageRotation(int) override { return 0; }
  std::vector<std::string> Loads;
  std::string FailOn;
};

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

TEST_F(Form1, StartClearsTheWorkFolderAndTheLoggedFiles) {
  fs::create_directories(Work());
  for (const char* n : {"a.pdf", "b.tif", "c.bmp", "d.jpg", "e.pbm", "f.ppm", "$$temp$$.tif"})
    WriteFileBytes(Work() / n, "x");
  for (const char* n : {"pdfimages", "notes.txt", "keep.pgm"}) WriteFileBytes(Work() / n, "x");
  fs::create_directories(Work() / "sub.pdf");
  WriteFileBytes(docs / "old0.tif", "x");
  WriteFileBytes(docs / "old2.tif", "x");
  WriteFileBytes(run / "tarnwick.log", "[File]\nLogs0=" + (docs / "old0.tif").string() + "\nLogs1=" +
                                           (docs / "gone.tif").string() + "\n");
  Start();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(Work())) left.push_back(e.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"keep.pgm", "notes.txt", "pdfimages", "sub.pdf"}));
  // Into this test's Trash, where they can be restored from.
  EXPECT_TRUE(fs::exists(scratch.path() / "data" / "Trash" / "files" / "a.pdf"));
  EXPECT_FALSE(fs::exists(docs / "old0.tif"));
  EXPECT_TRUE(fs::exists(docs / "old2.tif"));
  // The log itself stays as it was until the close.
  EXPECT_NE(ReadFileBytes(run / "tarnwick.log").find("Logs0"), std::string::npos);
}

TEST_F(Form1, LogWithAGapDeletesOnlyUpToTheGap) {
  WriteFileBytes(docs / "a.tif", "x");
  WriteFileBytes(docs / "c.tif", "x");
  WriteFileBytes(run / "tarnwick.log",
                 "[File]\nLogs0=" + (docs / "a.tif").string() + "\nLogs2=" + (docs / "c.tif").string() + "\n");
  Start();
  EXPECT_FALSE(fs::exists(docs / "a.tif"));
  EXPECT_TRUE(fs::exists(docs / "c.tif"));
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
  f->ProducedFiles.Add("/d/one.tif");
  f->ProducedFiles.Add("/d/two.tif");
  f->Top = 77;
  f->Left = 88;
  f->CheckBox3->SetChecked(true);
  f->Close();
  EXPECT_TRUE(app->Terminated());
  EXPECT_EQ(::converter::ReadLog(), (std::vector<std::string>{"/d/one.tif", "/d/two.tif"}));
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
  f->ProducedFiles.Add("/d/one.tif");
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
    f->ProducedFiles.Add((docs / "prev.tif").string());
    f->RunBatch({}, false);
    EXPECT_EQ(fs::exists(docs / "prev.tif"), trg != 0);
    EXPECT_EQ(f->ProducedFiles.Count(), 0);
    EXPECT_TRUE(f->SpeedButtonLoad->Enabled());
  }
}

TEST_F(Form1, DocumentWithoutPagesChangesNothing) {
  TForm1* f = Start();
  TNoPages* pages = UseNoPages(f);
  WriteFileBytes(docs / "empty.pdf", "x");
  f->ConvertDocument((docs / "empty.pdf").string());
  EXPECT_EQ(pages->Loads.size(), 1u);
  EXPECT_TRUE(fs::exists(docs / "empty.pdf"));
  EXPECT_FALSE(fs::exists(docs / "empty.tif"));
  EXPECT_EQ(f->ProducedFiles.Count(), 0);
  EXPECT_EQ(f->LabelFile->Caption(), "ファイルempty.pdf");
  EXPECT_EQ(f->LabelState->Caption(), "処理開始");
}

TEST_F(Form1, MissingWorkFolderFailsWithAnInputOutputError) {
  TForm1* f = Start();
  UseNoPages(f);
  fs::remove_all(Work());
  EXPECT_THROW(f->ConvertDocument((docs / "a.pdf").string()), rtl::EInOutError);
}

TEST_F(Form1, PasswordEventTriesTheEmptyPasswordUnlessAsked) {
  TForm1* f = Start();
  std::string pw;
  bool cont = false;
  f->PDFDoc->OnPassword(f->PDFDoc, pw, cont);
  EXPECT_TRUE(cont);
  EXPECT_EQ(pw, "");
  // Asked once: the prompt's answer, then the switch is off again.
  f->AskPassword = true;
  f->PromptText = [](const std::string& prompt, std::string& text) {
    EXPECT_EQ(prompt, ::converter::kPasswordPrompt);
    text = "user";
    return true;
  };
  f->PDFDocPassword(f->PDFDoc, pw, cont);
  EXPECT_EQ(pw, "user");
  EXPECT_TRUE(cont);
  EXPECT_FALSE(f->AskPassword);
  f->AskPassword = true;
  f->PromptText = nullptr;  // cancelled
  f->PDFDocPassword(f->PDFDoc, pw, cont);
  EXPECT_FALSE(cont);
}

TEST(PageResolution, Table) {
  struct Case {
    int pixels, width;
    unsigned want;
  } cases[] = {
      {1654, 21000, 200},   // A4 at 200 dpi
      {2480, 21000, 299},   // 2480 / 8.2677 = 299.96, truncated
      {100, 0, 0},          // degenerate box: no resolution
      {2000, 1, 33728},     // 5080000 dpi: the low 16 bits
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
