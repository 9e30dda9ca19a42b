// The drag panel, the password prompt and the About links of the main
// window.
#include <gtest/gtest.h>

#include <cstring>

#include "ConverterFixture.h"
#include "converter/PasswordDlg.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFDoc.h"
#include "platform/os/DragDrop.h"
#include "platform/os/ShellApi.h"

namespace tk::test::converter {
namespace {

using ::converter::TForm1;

// Installs a drag loop for one test.
struct LoopGuard {
  explicit LoopGuard(os::TDragLoop loop) : old(os::SetDragLoop(std::move(loop))) {}
  ~LoopGuard() { os::SetDragLoop(std::move(old)); }
  os::TDragLoop old;
};

// The names of a dropped file list, read from its published layout.
std::vector<std::string> DroppedFiles(os::IDataObject& data) {
  os::STGMEDIUM m;
  std::vector<std::string> names;
  if (data.GetData({os::CF_HDROP, nullptr, os::DVASPECT_CONTENT, -1, os::TYMED_HGLOBAL}, m) != os::S_OK)
    return names;
  uint32_t at = 0;
  std::memcpy(&at, m.hGlobal.data(), 4);
  while (at < m.hGlobal.size() && m.hGlobal[at] != 0) {
    std::string name(reinterpret_cast<const char*>(m.hGlobal.data() + at));
    at += static_cast<uint32_t>(name.size()) + 1;
    names.push_back(name);
  }
  return names;
}

class DragPanel : public ConverterFixture {
 protected:
  // Two TIFFs of the last batch, in the list.
  TForm1* WithTwoFiles() {
    TForm1* f = Start();
    for (const char* n : {"a.tif", "b.tif"}) {
      WriteFileBytes(docs / n, "II*");
      f->DropFileSource1->Files().Add((docs / n).string());
    }
    return f;
  }
  std::vector<std::string> Listed(TForm1* f) {
    std::vector<std::string> v;
    for (int i = 0; i < f->DropFileSource1->Files().Count(); ++i) v.push_back(f->DropFileSource1->Files()[i]);
    return v;
  }
  // Presses on the panel and moves with the button held.
  void Drag(forms::TControl* panel, int dx, int dy, forms::TShiftState shift = forms::ssLeft) {
    panel->MouseDown(shift & forms::ssRight ? forms::mbRight : forms::mbLeft, shift, 20, 20);
    panel->MouseMove(shift, 20 + dx, 20 + dy);
  }
};

TEST_F(DragPanel, ControlsOfTheForm) {
  TForm1* f = Start();
  EXPECT_EQ(f->FolderDialog1->Title, "フォルダーの選択");
  EXPECT_TRUE(f->DropFileSource1->Dragtypes ==
              (::controls::TDragTypes{::controls::dtCopy, ::controls::dtMove}));
  EXPECT_FALSE(f->DropFileSource1->ShowImage());
  EXPECT_EQ(f->DropFileSource1->ImageHotSpotX, 16);
  EXPECT_EQ(f->Panel1->Hint, "ここからドラッグします");
  EXPECT_EQ(f->Font.Name, "ＭＳ Ｐゴシック");
  EXPECT_EQ(f->Font.Charset, graphics::SHIFTJIS_CHARSET);
  EXPECT_EQ(f->PDFDoc->Encryption->Level(), ::pdf::el40bit);
}

TEST_F(DragPanel, DragStartsOnlyAfterTenPixelsWithOneButtonAndNoKey) {
  struct Case {
    const char* name;
    int dx, dy;
    forms::TShiftState shift;
    bool panel2;
    bool empty;
    bool drags;
  } cases[] = {
      {"9 right and 9 down", 9, 9, forms::ssLeft, false, false, false},
      {"10 right", 10, 0, forms::ssLeft, false, false, true},
      {"10 up, on the inner panel", 0, -10, forms::ssLeft, true, false, true},
      {"right button", -12, 3, forms::ssRight, false, false, true},
      {"Ctrl held", 15, 15, forms::ssLeft | forms::ssCtrl, false, false, false},
      {"Shift held", 15, 0, forms::ssLeft | forms::ssShift, false, false, false},
      {"both buttons", 15, 0, forms::ssLeft | forms::ssRight, false, false, false},
      {"no button", 15, 0, 0, false, false, false},
      {"empty list", 30, 30, forms::ssLeft, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TForm1* f = WithTwoFiles();
    if (c.empty) f->DropFileSource1->Files().Clear();
    int drags = 0;
    LoopGuard guard([&](os::TDragSession& s) {
      ++drags;
      EXPECT_EQ(DroppedFiles(s.Data()), Listed(f));
      s.Step(nullptr, os::MK_LBUTTON, true);
    });
    Drag(c.panel2 ? static_cast<forms::TControl*>(f->Panel2) : f->Panel1, c.dx, c.dy, c.shift);
    EXPECT_EQ(drags, c.drags ? 1 : 0);
    EXPECT_EQ(f->DropFileSource1->Files().Count(), c.empty ? 0 : 2);  // a cancel keeps the list
  }
}

TEST_F(DragPanel, WhatTheTargetDidDecidesWhatStaysListed) {
  enum Act { kMoveAll, kMoveFirst, kCopy, kCancel };
  struct Case {
    const char* name;
    Act act;
    uint32_t reported;  // the effect the folder reports for its drop
    std::vector<std::string> left;
  } cases[] = {
      {"moved, reported as a move", kMoveAll, os::DROPEFFECT_MOVE, {}},
      {"moved by the folder itself, reported as nothing", kMoveAll, os::DROPEFFECT_NONE, {}},
      {"only the first moved: the second stays listed", kMoveFirst, os::DROPEFFECT_NONE, {"b.tif"}},
      {"copied", kCopy, os::DROPEFFECT_COPY, {"a.tif", "b.tif"}},
      {"cancelled", kCancel, os::DROPEFFECT_NONE, {"a.tif", "b.tif"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TForm1* f = WithTwoFiles();
    const fs::path into = scratch.path() / "folder" / std::to_string(&c - cases);
    fs::create_directories(into);
    os::TDropTarget folder;
    folder.Over = [&](os::IDataObject&, uint32_t, uint32_t) {
      return c.act == kCopy ? os::DROPEFFECT_COPY : os::DROPEFFECT_MOVE;
    };
    folder.Drop = [&](os::IDataObject& data, uint32_t, uint32_t) {
      std::vector<std::string> names = DroppedFiles(data);
      if (c.act == kMoveFirst) names.resize(1);
      for (const auto& n : names) {
        fs::path from(n);
        if (c.act == kCopy)
          fs::copy_file(from, into / from.filename());
        else
          fs::rename(from, into / from.filename());
      }
      return c.reported;
    };
    LoopGuard guard([&](os::TDragSession& s) {
      s.Step(&folder, os::MK_LBUTTON);
      s.Step(&folder, 0, c.act == kCancel);
    });
    Drag(f->Panel1, 12, 0);
    std::vector<std::string> want;
    for (const auto& n : c.left) want.push_back((docs / n).string());
    EXPECT_EQ(Listed(f), want);
    if (c.act == kCopy) {
      EXPECT_TRUE(fs::exists(into / "a.tif") && fs::exists(docs / "a.tif"));
    }
  }
}

TEST_F(DragPanel, NoBatchWhileADragRuns) {
  TForm1* f = WithTwoFiles();
  bool batch = true;
  LoopGuard guard([&](os::TDragSession& s) {
    batch = f->RunBatch({(docs / "x.pdf").string()}, false);
    s.Step(nullptr, 0, true);
  });
  Drag(f->Panel1, 10, 10);
  EXPECT_FALSE(batch);
  EXPECT_EQ(Listed(f).size(), 2u);
  EXPECT_TRUE(fs::exists(docs / "a.tif"));
}

TEST_F(DragPanel, PromptShowsTheDialogAtTheMainWindowsCentre) {
  TForm1* f = Start();
  f->Top = 100;
  f->Left = 40;
  std::string shownCaption, shownPrompt;
  int top = 0, left = 0;
  char hidden = 0;
  presenter->OnShowModal = [&](forms::TForm& form) {
    auto& dlg = dynamic_cast<::converter::TFormPassWord&>(form);
    shownCaption = dlg.Caption();
    shownPrompt = dlg.LabelMes->Caption();
    top = dlg.Top;
    left = dlg.Left;
    hidden = dlg.EditPW->PasswordChar;
    EXPECT_EQ(dlg.EditPW->Text, "");
    dlg.EditPW->Text = "s3cret";
    dlg.BitBtnOK->Click();  // the OK button ends the dialog
    return forms::mrNone;
  };
  ::converter::TPromptResult r = ::converter::PromptText("prompt");
  EXPECT_FALSE(r.Cancelled);
  EXPECT_EQ(r.Text, "s3cret");
  EXPECT_EQ(shownCaption, "パスワード入力");
  EXPECT_EQ(shownPrompt, "prompt");
  EXPECT_EQ(top, 100 + f->Height / 2);
  EXPECT_EQ(left, 40 + f->Width / 2);
  EXPECT_EQ(hidden, '*');
  ASSERT_NE(::converter::FormPassWord, nullptr);
  EXPECT_EQ(::converter::FormPassWord->EditPW->Text, "");  // the password does not linger

  presenter->OnShowModal = [&](forms::TForm& form) {
    dynamic_cast<::converter::TFormPassWord&>(form).EditPW->Text = "typed";
    return forms::mrCancel;
  };
  r = ::converter::PromptText("prompt");
  EXPECT_TRUE(r.Cancelled);
  EXPECT_EQ(r.Text, "");
}

TEST_F(DragPanel, PasswordEventAsksOnlyWhenSwitchedOnAndThenOnce) {
  TForm1* f = Start();
  int shown = 0;
  std::string answer = "user";
  forms::TModalResult button = forms::mrOk;
  presenter->OnShowModal = [&](forms::TForm& form) {
    ++shown;
    auto& dlg = dynamic_cast<::converter::TFormPassWord&>(form);
    EXPECT_EQ(dlg.LabelMes->Caption(), ::converter::kPasswordPrompt);
    dlg.EditPW->Text = answer;
    return button;
  };
  std::string pw;
  bool cont = false;
  f->PDFDoc->OnPassword(f->PDFDoc, pw, cont);
  EXPECT_TRUE(cont);
  EXPECT_EQ(pw, "");
  EXPECT_EQ(shown, 0);

  f->AskPassword = true;
  f->PDFDoc->OnPassword(f->PDFDoc, pw, cont);
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(cont);
  EXPECT_EQ(pw, "user");
  EXPECT_FALSE(f->AskPassword);

  f->AskPassword = true;
  button = forms::mrCancel;
  f->PDFDoc->OnPassword(f->PDFDoc, pw, cont);
  EXPECT_FALSE(cont);
  EXPECT_FALSE(f->AskPassword);
}

TEST_F(DragPanel, EncryptedScanConvertsWithThePasswordTyped) {
  TK_REQUIRE_TOOL("qpdf");
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("tiffinfo");
  const fs::path plain = scratch.path() / "plain.pdf";
  WriteFileBytes(plain, ImagePdf());
  auto encrypt = [&](const std::string& user, const fs::path& out) {
    auto r = RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", user, "owner", "128", "--use-aes=n", "--",
                      plain.string(), out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  };
  const fs::path locked = docs / "locked.pdf", ownerOnly = docs / "owner.pdf";
  encrypt("user", locked);
  encrypt("", ownerOnly);

  TForm1* f = Start();
  int shown = 0;
  presenter->OnShowModal = [&](forms::TForm& form) {
    ++shown;
    dynamic_cast<::converter::TFormPassWord&>(form).EditPW->Text = "user";
    return forms::mrOk;
  };
  // An owner password alone asks nothing.
  f->ConvertDocument(ownerOnly.string());
  EXPECT_EQ(shown, 0);
  EXPECT_TRUE(fs::exists(docs / "owner.tif"));

  // The empty password is refused, so the user is asked, once.
  f->ConvertDocument(locked.string());
  EXPECT_EQ(shown, 1);
  EXPECT_FALSE(f->AskPassword);
  ASSERT_TRUE(fs::exists(docs / "locked.tif"));
  EXPECT_EQ(Listed(f),
            (std::vector<std::string>{(docs / "owner.tif").string(), (docs / "locked.tif").string()}));
  auto info = RunTool({"tiffinfo", (docs / "locked.tif").string()});
  EXPECT_NE(info.out.find("Image Width: 8 Image Length: 8"), std::string::npos) << info.out;
}

TEST_F(DragPanel, AboutLinksOpenTheAddressesThroughTheShell) {
  TForm1* f = Start();
  std::vector<std::string> opened;
  f->ShellStart = [&](const std::string& file, const std::vector<std::string>& args, const std::string&) {
    EXPECT_TRUE(args.empty());
    opened.push_back(file);
    return 0;
  };
  f->LabelHP->Click();
  f->LabelMail->Click();
  EXPECT_EQ(opened, (std::vector<std::string>{::converter::kHomePage, ::converter::kSupportMail}));
  EXPECT_TRUE(os::IsWebOrMailAddress(opened[0]) && os::IsWebOrMailAddress(opened[1]));
}

}  // namespace
}  // namespace tk::test::converter
