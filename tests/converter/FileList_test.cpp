// The main window's folder and file list: the start folder, the pop-up
// commands and the drive box.
#include <gtest/gtest.h>

#include <utility>

#include "ConverterFixture.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

using ::converter::Settings;
using ::converter::TForm1;

std::vector<std::string> Rows(const forms::TCustomListBox& box) {
  std::vector<std::string> v;
  for (int i = 0; i < box.Count(); ++i) v.push_back(box.Items()[i]);
  return v;
}

class FileList : public ConverterFixture {
 protected:
  // The window activated over the documents' folder.
  TForm1* StartIn(const fs::path& folder) {
    Ini("[PDF]\nPath=" + folder.string() + "/\n");
    TForm1* f = Start();
    f->Activate();
    return f;
  }
  void Select(TForm1* f, const std::vector<std::string>& names) {
    auto* box = f->DirFileListBox1;
    for (int i = 0; i < box->Count(); ++i) box->SetSelected(i, false);
    for (const auto& n : names) {
      int i = box->Items().IndexOf(n);
      ASSERT_GE(i, 0) << n;
      box->SetSelected(i, true);
    }
  }
  bool Shows(TForm1* f, const std::string& name) { return f->DirFileListBox1->Items().IndexOf(name) >= 0; }
};

TEST_F(FileList, TheFormsListAndMenu) {
  TForm1* f = Start();
  auto* box = f->DirFileListBox1;
  EXPECT_EQ(box->Parent(), f->TabSheet1);
  EXPECT_EQ(box->Mask(), "*.pdf");
  EXPECT_EQ(box->SortOrder(), ::controls::soName);
  EXPECT_EQ(box->SortDirection(), ::controls::sdUpword);
  EXPECT_TRUE(box->ShowHiddenSysFile());
  EXPECT_TRUE(box->MultiSelect);
  EXPECT_EQ(box->ItemHeight, 18);
  EXPECT_EQ(box->NameWidth, 100);
  EXPECT_EQ(box->TimeWidth, 150);
  EXPECT_EQ(box->AttrWidth, 30);
  EXPECT_EQ(box->PopupMenu, f->PopupMenu1);
  EXPECT_EQ(f->DriveComboBox1->Parent(), f->TabSheet1);
  std::vector<std::string> captions;
  for (int i = 0; i < f->PopupMenu1->Count(); ++i) captions.push_back(f->PopupMenu1->Items(i)->Caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"Corvane", "削除", "-", "再読込", "設定"}));
}

TEST_F(FileList, ActivationShowsTheStartFolderOrTheNearestOneLeft) {
  fs::create_directories(docs / "sub");
  WriteFileBytes(docs / "a.pdf", "x");
  WriteFileBytes(docs / "b.txt", "x");
  struct Case {
    std::string path;
    fs::path shown;
  } cases[] = {
      {docs.string() + "/", docs},
      {(docs / "gone" / "deeper").string() + "/", docs},  // removed since it was stored
      {"", run},                                          // no folder stored
      {"relative/", run},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("Path=" + c.path);
    Ini("[PDF]\nPath=" + c.path + "\n");
    TForm1* f = Start();
    const std::string stored = Settings.Path;
    f->Activate();
    EXPECT_EQ(f->DirFileListBox1->Directory(), c.shown.string());
    EXPECT_EQ(f->DriveComboBox1->Drive(), '/');
    EXPECT_EQ(Settings.Path, stored);  // kept for the folder's return
    Stop();
  }
  // Rows of the documents' folder: the path, then "sub", then the PDF.
  TForm1* f = StartIn(docs);
  std::vector<std::string> rows = Rows(*f->DirFileListBox1);
  const int depth = f->DirFileListBox1->PathDepth();
  EXPECT_EQ(rows[static_cast<size_t>(depth)], "docs");
  EXPECT_EQ(std::vector<std::string>(rows.begin() + depth + 1, rows.end()),
            (std::vector<std::string>{"sub", "a.pdf"}));
  // Every activation goes back to the start folder.
  f->DirFileListBox1->SetDirectory((docs / "sub").string());
  f->Deactivate();
  f->Activate();
  EXPECT_EQ(f->DirFileListBox1->Directory(), docs.string());
  // The one drive there is changes nothing.
  f->DriveComboBox1->SetDrive('/');
  f->DriveComboBox1Change(f->DriveComboBox1);
  EXPECT_EQ(f->DirFileListBox1->Directory(), docs.string());
}

// Two scans converted from the list's selection with the real page tool.
TEST_F(FileList, ConvertTheSelectedFiles) {
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("img2pdf");
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffinfo");
  fs::create_directories(docs / "sub.pdf");
  const fs::path png = scratch.path() / "page.png";
  auto r = RunTool({"convert-im6.q16", "-size", "40x30", "xc:white", "-fill", "black", "-draw",
                    "rectangle 0,0 9,9", "-monochrome", "-density", "72", "-units", "PixelsPerInch",
                    "png:" + png.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) {
    r = RunTool({"img2pdf", png.string(), "-o", (docs / name).string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  WriteFileBytes(docs / "prev.tif", "x");
  TForm1* f = StartIn(docs);
  f->AddProduced((docs / "prev.tif").string());

  // Only a folder chosen: no batch, the previous TIFFs stay.
  Select(f, {"sub.pdf"});
  f->popConvert->Click();
  EXPECT_TRUE(fs::exists(docs / "prev.tif"));
  EXPECT_EQ(f->DropFileSource1->Files().Count(), 1);

  Select(f, {"sub.pdf", "c.pdf", "a.pdf"});
  f->popConvert->Click();
  EXPECT_TRUE(presenter->Messages.empty());
  EXPECT_FALSE(fs::exists(docs / "prev.tif"));
  // In list order; one "/" between folder and name.
  ASSERT_EQ(f->DropFileSource1->Files().Count(), 2);
  EXPECT_EQ(f->DropFileSource1->Files()[0], (docs / "a.tif").string());
  EXPECT_EQ(f->DropFileSource1->Files()[1], (docs / "c.tif").string());
  for (const char* tif : {"a.tif", "c.tif"}) {
    SCOPED_TRACE(tif);
    r = RunTool({"tiffinfo", (docs / tif).string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Image Width: 40 Image Length: 30"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(fs::exists(docs / "a.pdf"));
  EXPECT_TRUE(fs::exists(docs / "b.pdf"));
  EXPECT_TRUE(fs::is_directory(docs / "sub.pdf"));
  // The list is repainted, not read again.
  EXPECT_TRUE(Shows(f, "a.pdf"));
}

TEST_F(FileList, DeleteRemovesTheFilesAndTheListShowsThemUntilReadAgain) {
  fs::create_directories(docs / "sub.pdf");
  for (const char* n : {"a.pdf", "b.pdf", "c.pdf"}) WriteFileBytes(docs / n, "x");
  TForm1* f = StartIn(docs);
  const int depth = f->DirFileListBox1->PathDepth();
  Select(f, {"a.pdf", "c.pdf", "sub.pdf"});
  f->DirFileListBox1->SetSelected(depth, true);  // a path row: a folder too
  f->popDelete->Click();
  EXPECT_FALSE(fs::exists(docs / "a.pdf"));
  EXPECT_TRUE(fs::exists(docs / "b.pdf"));
  EXPECT_FALSE(fs::exists(docs / "c.pdf"));
  EXPECT_TRUE(fs::is_directory(docs / "sub.pdf"));
  EXPECT_TRUE(Shows(f, "a.pdf"));
  EXPECT_TRUE(Shows(f, "c.pdf"));
  // A second delete of the shown files is quiet.
  f->popDelete->Click();
  EXPECT_TRUE(presenter->Messages.empty());
  WriteFileBytes(docs / "new.pdf", "x");
  f->popRefresh->Click();
  const std::vector<std::string> rows = Rows(*f->DirFileListBox1);
  EXPECT_EQ(std::vector<std::string>(rows.begin() + depth + 1, rows.end()),
            (std::vector<std::string>{"sub.pdf", "b.pdf", "new.pdf"}));
}

TEST_F(FileList, SettingTheStartFolderAsksFirst) {
  fs::create_directories(docs / "sub");
  TForm1* f = StartIn(docs);
  auto* box = f->DirFileListBox1;
  box->SetItemIndex(box->Items().IndexOf("sub"));
  box->DblClick();
  ASSERT_EQ(box->Directory(), (docs / "sub").string());

  presenter->Answers.push_back(forms::mrNo);
  f->popSetting->Click();
  EXPECT_EQ(Settings.Path, docs.string() + "/");
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, ::converter::kStartFolderPrompt);
  EXPECT_EQ(presenter->Messages[0].Type, forms::mtConfirmation);
  EXPECT_EQ(presenter->Messages[0].Buttons, forms::mbYes | forms::mbNo);

  presenter->Answers.push_back(forms::mrYes);
  f->popSetting->Click();
  EXPECT_EQ(Settings.Path, (docs / "sub").string() + "/");
  EXPECT_EQ(box->Directory(), (docs / "sub").string());
  // The root keeps its one separator.
  box->SetDirectory("/");
  presenter->Answers.push_back(forms::mrYes);
  f->popSetting->Click();
  EXPECT_EQ(Settings.Path, "/");
  box->SetDirectory((docs / "sub").string());
  presenter->Answers.push_back(forms::mrYes);
  f->popSetting->Click();
  // Nobody to ask: the folder stays as it was.
  f->popSetting->Click();
  EXPECT_EQ(Settings.Path, (docs / "sub").string() + "/");
  f->Close();
  EXPECT_EQ(rtl::TIniFile((run / "tarnwick.ini").string()).ReadString("PDF", "Path", ""),
            (docs / "sub").string() + "/");
}

TEST_F(FileList, PopUpCommandsRefuseWhileABatchRuns) {
  for (const char* n : {"a.pdf", "b.pdf"}) WriteFileBytes(docs / n, "x");
  TForm1* f = StartIn(docs);
  auto pages = std::make_unique<TNoPages>();
  TNoPages* steps = pages.get();
  f->Pages = std::move(pages);
  const std::string a = (docs / "a.pdf").string();
  std::vector<std::string> rowsDuring;
  bool once = false;
  steps->OnLoad = [&](const std::string&) {
    if (std::exchange(once, true)) return;
    Select(f, {"a.pdf", "b.pdf"});
    WriteFileBytes(docs / "new.pdf", "x");
    presenter->Answers.push_back(forms::mrYes);
    for (auto* item : {f->popConvert, f->popDelete, f->popRefresh, f->popSetting}) item->Click();
    rowsDuring = Rows(*f->DirFileListBox1);
  };
  EXPECT_TRUE(f->RunBatch({a}, false));
  EXPECT_EQ(steps->Loads, (std::vector<std::string>{a}));  // no second batch
  EXPECT_TRUE(fs::exists(docs / "a.pdf"));
  EXPECT_TRUE(fs::exists(docs / "b.pdf"));
  // No question either: only what became of the document (it has no pages).
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, "a.pdf: 変換できるページがありません（ＰＤＦを残します）");
  EXPECT_EQ(std::find(rowsDuring.begin(), rowsDuring.end(), "new.pdf"), rowsDuring.end());
  // Once the batch is over they work.
  f->popRefresh->Click();
  EXPECT_TRUE(Shows(f, "new.pdf"));
  Select(f, {"b.pdf"});
  f->popDelete->Click();
  EXPECT_FALSE(fs::exists(docs / "b.pdf"));
}

}  // namespace
}  // namespace tk::test::converter
