#include "pdf/kvSettingsDlg.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PdfFixture.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "platform/forms/Dialogs.h"
#include "platform/os/Windows.h"
#include "platform/rtl/CodePages.h"
#include "support/TestSupport.h"

namespace pdf {
namespace {

namespace fs = std::filesystem;
using forms::mrCancel;
using forms::mrNone;
using forms::mrOk;
using tk::test::ReadFileBytes;
using tk::test::RunTool;
using tk::test::WriteFileBytes;

constexpr const char* kInfo =
    "<< /Title (Report \\(final\\)) /Author (Ann) /Keywords (scan) /Creator (scanner) /Producer (probe) >>";

class SettingsDlgTest : public ::testing::Test {
 protected:
  SettingsDlgTest() {
    os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
    app = std::make_unique<forms::TApplication>();
    auto p = std::make_unique<forms::TScriptedPresenter>();
    presenter = p.get();
    app->SetPresenter(std::move(p));
    InstallSettingsDialog();
  }
  ~SettingsDlgTest() override {
    SetSetupDialogRunner(nullptr);
    app.reset();
    os::TWindowDirectory::SetDefaultFolder({});
  }

  // A three-page document with an information dictionary, loaded.
  void Load(TkvCustomPDFDocument& doc, const std::string& bytes = {}) {
    auto b = tk::test::pdf::SimpleDocument(3);
    b.Obj(2, kInfo);
    const fs::path file = scratch / ("in" + std::to_string(files++) + ".pdf");
    WriteFileBytes(file, bytes.empty() ? b.Build() : bytes);
    ASSERT_TRUE(doc.LoadFromFile(file.string()));
  }

  // Shows the dialog through the save's dialog step; the script plays the
  // user and ends with a button click.
  int Run(TkvCustomPDFDocument& doc, const std::function<void(TkvPDFSettingsDlg&)>& script) {
    presenter->OnShowModal = [&](forms::TForm& form) {
      auto* dlg = dynamic_cast<TkvPDFSettingsDlg*>(&form);
      EXPECT_NE(dlg, nullptr);
      if (dlg) script(*dlg);
      ++shown;
      return mrNone;
    };
    return doc.RunSetupDialog();
  }

  static bool HasTrans(const TkvCustomPDFDocument& doc, int page) {
    auto* dict = dynamic_cast<TkvPDFDictObject*>(doc.PageList[static_cast<size_t>(page - 1)]->Value.get());
    return dict && dict->Find("/Trans");
  }

  tk::test::ScratchDir scratch;
  std::unique_ptr<forms::TApplication> app;
  forms::TScriptedPresenter* presenter = nullptr;
  int files = 0;
  int shown = 0;
};

TEST_F(SettingsDlgTest, ShowsTheDocumentAndCancelChangesNothing) {
  TkvPDFDocument doc;
  Load(doc);
  doc.PageLayout = plTwoColumnLeft;
  doc.PageMode = pmUseOutlines;
  doc.ViewerPreferences()->SetFitWindow(true);
  doc.OpenAfterSave = true;
  doc.EMailAfterSave = true;
  doc.EMailInfo()->Host = "smtp.example.jp";
  doc.EMailInfo()->RecipientList = {"a@example.jp", "b@example.jp"};
  doc.EMailInfo()->Body = {"first", "second"};
  doc.SetCompression(1, 0);

  const int result = Run(doc, [&](TkvPDFSettingsDlg& d) {
    EXPECT_EQ(d.Caption(), "ＰＤＦドキュメントに関する設定");
    EXPECT_EQ(d.pcSettings->ActivePage(), d.tsDocInfo);
    EXPECT_EQ(d.edtTitle->Text, "Report (final)");
    EXPECT_EQ(d.edtAuthor->Text, "Ann");
    EXPECT_EQ(d.edtKeywords->Text, "scan");
    EXPECT_EQ(d.edtCreator->Text, "scanner");
    EXPECT_TRUE(d.edtCreator->ReadOnly);
    EXPECT_EQ(d.edtProducer->Text, "Veltrane Pagewright V2.02");
    EXPECT_EQ(d.edtVersion->Text, "1.4 (Acrobat 5.x)");
    EXPECT_EQ(d.edtNoPages->Text, "3");
    EXPECT_FALSE(d.chkOpenAfterSave->Visible());
    EXPECT_TRUE(d.chkOpenAfterSave->Checked());
    EXPECT_EQ(d.cbPageLayout->Text(), "Two Column Left");
    EXPECT_EQ(d.cbPageMode->Text(), "Use Outlines");
    EXPECT_EQ(d.cbPageTransitionEffect->Items.size(), 17u);
    EXPECT_EQ(d.cbPageTransitionEffect->Objects[16], 16);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(d.chklstViewerPreferences->Checked(i), i == 3) << i;
    EXPECT_TRUE(d.chkEmailAfterSave->Checked());
    EXPECT_TRUE(d.edtHost->Enabled());
    EXPECT_EQ(d.edtHost->Text, "smtp.example.jp");
    EXPECT_EQ(d.edtTo->Text, "a@example.jp, b@example.jp");
    EXPECT_EQ(d.memoBody->Lines, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(d.chkComp->Checked());
    EXPECT_EQ(d.cbCompType->Text(), "Runlength");
    EXPECT_EQ(d.cbCompLevel->Text(), "None");
    EXPECT_FALSE(d.cbCompLevel->Enabled());
    EXPECT_FALSE(d.chkEnableEncryption->Checked());
    EXPECT_FALSE(d.edtOwnerPassword->Enabled());
    EXPECT_EQ(d.edtOwnerPassword->Color, forms::clInactiveBorder);
    EXPECT_EQ(d.edtOwnerPassword->PasswordChar, '*');
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(d.chklstUserPermissions->Checked(i)) << i;

    // Everything changed, then abandoned.
    d.edtTitle->Text = "changed";
    d.chkEnableEncryption->Click();
    d.edtUserPassword->Text = d.edtConfirmUserPassword->Text = "pw";
    d.chklstUserPermissions->ClickCheck(0);
    d.chklstViewerPreferences->ClickCheck(3);
    d.cbPageLayout->Select(0);
    d.chkEmailAfterSave->Click();
    d.chkComp->Click();
    d.chkOpenAfterSave->SetChecked(false);
    d.CancelBtn->Click();
  });
  EXPECT_EQ(result, mrCancel);
  EXPECT_EQ(doc.DocInfo->Title(), u"Report (final)");
  EXPECT_EQ(doc.PageLayout, plTwoColumnLeft);
  EXPECT_EQ(doc.PageMode, pmUseOutlines);
  EXPECT_TRUE(doc.ViewerPreferences()->FitWindow());
  EXPECT_TRUE(doc.OpenAfterSave);
  EXPECT_TRUE(doc.EMailAfterSave);
  EXPECT_EQ(doc.EMailInfo()->Body.size(), 2u);
  EXPECT_EQ(doc.Compression.Enabled, 1);
  EXPECT_EQ(doc.Compression.Kind, 1);
  EXPECT_FALSE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->UserPermissions(), TkvUserPermissions::All());
}

TEST_F(SettingsDlgTest, OkWritesTheChoicesBack) {
  TkvPDFDocument doc;
  Load(doc);
  doc.OpenAfterSave = true;
  doc.ViewerPreferences()->SetFitWindow(true);
  const int result = Run(doc, [&](TkvPDFSettingsDlg& d) {
    d.edtTitle->Text = "新しい題名";
    d.edtAuthor->Text = "Bo";
    d.chklstViewerPreferences->ClickCheck(0);  // hide the toolbar
    d.chklstViewerPreferences->ClickCheck(3);  // fit the window no more
    d.cbPageTransitionEffect->Select(13);      // Dissolve
    EXPECT_EQ(d.cbPageLayout->Text(), "Single Page");
    d.cbPageLayout->Select(4);
    EXPECT_EQ(d.cbPageLayout->Text(), "Single Page");  // while a transition is chosen
    d.edtDur->Text.clear();
    for (char c : std::string("2-3")) d.edtPresentationPages->KeyPress(c);
    EXPECT_TRUE(d.rbPages->Checked());
    d.cbPageMode->Select(3);
    d.chkEmailAfterSave->Click();
    d.edtHost->Text = "smtp.example.jp";
    d.edtTo->Text = "Taro Yamada <taro@example.jp>, b@example.jp,";
    d.edtSubject->Text = "scan";
    d.memoBody->Lines = {"hello"};
    d.chkComp->Click();
    d.OKBtn->Click();
  });
  EXPECT_EQ(result, mrOk);
  EXPECT_EQ(doc.DocInfo->Title(), rtl::MultiByteToWide("新しい題名"));
  EXPECT_EQ(doc.DocInfo->Author(), u"Bo");
  EXPECT_EQ(doc.DocInfo->Keywords(), u"scan");
  EXPECT_EQ(doc.PageLayout, plSinglePage);
  EXPECT_EQ(doc.PageMode, pmFullScreen);
  EXPECT_TRUE(doc.ViewerPreferences()->HideToolbar());
  EXPECT_FALSE(doc.ViewerPreferences()->FitWindow());
  EXPECT_FALSE(HasTrans(doc, 1));
  EXPECT_TRUE(HasTrans(doc, 2));
  EXPECT_TRUE(HasTrans(doc, 3));
  EXPECT_TRUE(doc.EMailAfterSave);
  EXPECT_EQ(doc.EMailInfo()->RecipientList,
            (std::vector<std::string>{"Taro Yamada <taro@example.jp>", "b@example.jp"}));
  EXPECT_EQ(doc.EMailInfo()->Body, std::vector<std::string>{"hello"});
  EXPECT_EQ(doc.Compression.Enabled, 0);
  // The hidden box kept the program's choice.
  EXPECT_TRUE(doc.OpenAfterSave);
  // Encryption was left off, and nothing of it changed.
  EXPECT_FALSE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->Level(), el40bit);

  // A second OK with nothing touched keeps the choices, and adds no empty
  // information entries. Compression is the dialog's default each time.
  ASSERT_EQ(Run(doc,
                [](TkvPDFSettingsDlg& d) {
                  EXPECT_TRUE(d.chkComp->Checked());
                  EXPECT_EQ(d.cbCompLevel->Text(), "Max");
                  d.OKBtn->Click();
                }),
            mrOk);
  EXPECT_EQ(doc.EMailInfo()->Body, std::vector<std::string>{"hello"});
  EXPECT_EQ(doc.DocInfo->InfoDictionary()->Find("/Subject"), nullptr);
  EXPECT_EQ(doc.PageMode, pmFullScreen);
  EXPECT_EQ(doc.PageLayout, plSinglePage);
  EXPECT_TRUE(doc.ViewerPreferences()->HideToolbar());
  EXPECT_TRUE(doc.OpenAfterSave);
  EXPECT_EQ(doc.Compression.Enabled, 1);
  EXPECT_EQ(doc.Compression.Level, 3);
}

TEST_F(SettingsDlgTest, BadEntriesKeepTheDialogOpenAndWriteNothing) {
  using Dlg = TkvPDFSettingsDlg;
  const struct {
    const char* name;
    std::function<void(Dlg&)> enter;
    std::string message;
    std::function<forms::TControl*(Dlg&)> focus;
  } cases[] = {
      {"owner passwords differ",
       [](Dlg& d) {
         d.chkEnableEncryption->Click();
         d.edtOwnerPassword->Text = "Secret";
         d.edtConfirmOwnerPassword->Text = "secret";
       },
       "The Owner Passwords do not match.\r\nPlease re-enter.", [](Dlg& d) { return d.edtOwnerPassword; }},
      {"user passwords differ",
       [](Dlg& d) {
         d.chkEnableEncryption->Click();
         d.edtUserPassword->Text = "a";
       },
       "The User Passwords do not match.\r\nPlease re-enter.", [](Dlg& d) { return d.edtUserPassword; }},
      {"page beyond the document",
       [](Dlg& d) {
         d.cbPageTransitionEffect->Select(1);
         d.edtPresentationPages->KeyPress('9');
       },
       "Invalid page number (9)", [](Dlg& d) { return d.edtPresentationPages; }},
      {"range backwards",
       [](Dlg& d) {
         d.cbPageTransitionEffect->Select(1);
         for (char c : std::string("3-1")) d.edtPresentationPages->KeyPress(c);
       },
       "Invalid page range (3-1)", [](Dlg& d) { return d.edtPresentationPages; }},
      {"pasted duration",
       [](Dlg& d) {
         d.cbPageTransitionEffect->Select(1);
         d.edtDur->Text = "1,5";
       },
       "'1,5' is not a valid floating point value", [](Dlg& d) { return d.edtDur; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFDocument doc;
    Load(doc);
    presenter->Messages.clear();
    const int result = Run(doc, [&](Dlg& d) {
      d.edtTitle->Text = "changed";
      d.cbPageMode->Select(2);
      c.enter(d);
      d.OKBtn->Click();
      EXPECT_EQ(d.ModalResult, mrNone);
      EXPECT_EQ(d.ActiveControl, c.focus(d));
      d.CancelBtn->Click();
    });
    EXPECT_EQ(result, mrCancel);
    ASSERT_EQ(presenter->Messages.size(), 1u);
    EXPECT_EQ(presenter->Messages[0].Text, c.message);
    EXPECT_EQ(presenter->Messages[0].Type, forms::mtError);
    EXPECT_EQ(doc.DocInfo->Title(), u"Report (final)");
    EXPECT_EQ(doc.PageMode, pmNone);
    EXPECT_FALSE(doc.Encryption->Enabled());
    EXPECT_FALSE(HasTrans(doc, 1));
  }
}

TEST_F(SettingsDlgTest, ControlsFollowEachOther) {
  TkvPDFDocument doc;
  Load(doc);
  Run(doc, [&](TkvPDFSettingsDlg& d) {
    // Compression type and level.
    d.cbCompType->Select(1);
    EXPECT_FALSE(d.cbCompLevel->Enabled());
    EXPECT_EQ(d.cbCompLevel->Text(), "None");
    d.chkComp->Click();
    d.chkComp->Click();
    EXPECT_FALSE(d.cbCompLevel->Enabled());  // still run-length
    d.cbCompType->Select(0);
    EXPECT_TRUE(d.cbCompLevel->Enabled());
    EXPECT_EQ(d.cbCompLevel->Text(), "Default");
    // Keys of the duration and the page range.
    d.edtDur->Text.clear();
    for (char c : std::string("1a2.\b3")) d.edtDur->KeyPress(c);
    EXPECT_EQ(d.edtDur->Text, "13");
    d.edtPresentationPages->KeyPress('x');
    EXPECT_TRUE(d.rbAllPages->Checked());
    EXPECT_EQ(d.edtPresentationPages->Text, "");
    d.edtPresentationPages->KeyPress('4');
    EXPECT_TRUE(d.rbPages->Checked());
    EXPECT_FALSE(d.rbAllPages->Checked());
    d.rbAllPages->Click();
    EXPECT_FALSE(d.rbPages->Checked());
    EXPECT_EQ(d.edtPresentationPages->Text, "");
    // The encryption group follows its box, at any depth.
    d.chkEnableEncryption->Click();
    EXPECT_TRUE(d.chklstUserPermissions->Enabled());
    EXPECT_EQ(d.edtUserPassword->Color, forms::clWindow);
    d.chkEnableEncryption->Click();
    EXPECT_FALSE(d.chklstUserPermissions->Enabled());
    d.CancelBtn->Click();
  });
  EXPECT_TRUE(presenter->Messages.empty());

  // Both password pairs empty: encryption with empty passwords; a transition
  // with an empty duration lasts one second over every page.
  ASSERT_EQ(Run(doc,
                [&](TkvPDFSettingsDlg& d) {
                  d.chkEnableEncryption->Click();
                  d.rgLevel->Select(1);
                  d.cbPageTransitionEffect->Select(9);
                  d.edtDur->Text.clear();
                  d.OKBtn->Click();
                }),
            mrOk);
  EXPECT_TRUE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->Level(), el128bit);
  EXPECT_EQ(doc.Encryption->OwnerPassword(), "");
  EXPECT_EQ(doc.Encryption->UserPassword(), "");
  for (int p = 1; p <= 3; ++p) EXPECT_TRUE(HasTrans(doc, p)) << p;
  auto* page = dynamic_cast<TkvPDFDictObject*>(doc.PageList[0]->Value.get());
  auto* trans = dynamic_cast<TkvPDFDictObject*>(page->Find("/Trans"));
  ASSERT_NE(trans, nullptr);
  auto* d = dynamic_cast<TkvPDFRealObject*>(trans->Find("/D"));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Value, 1.0);
}

// A dialog of the program's own, given as the document's SetupDialog.
class TOwnDialog : public TkvBaseDlg {
 public:
  explicit TOwnDialog(rtl::TComponent* owner) : TkvBaseDlg(owner) {}
};

TEST_F(SettingsDlgTest, TheDocumentsOwnDialogIsShownInstead) {
  TkvPDFDocument doc;
  TOwnDialog own(nullptr);
  doc.SetupDialog = &own;
  TkvCustomPDFDocument* seen = nullptr;
  presenter->OnShowModal = [&](forms::TForm& f) {
    EXPECT_EQ(&f, &own);
    seen = own.Document();
    return mrOk;
  };
  EXPECT_EQ(doc.RunSetupDialog(), mrOk);
  EXPECT_EQ(seen, &doc);
  EXPECT_EQ(own.Document(), nullptr);

  // A component that is no document dialog is refused, not shown.
  forms::TForm other(nullptr);
  doc.SetupDialog = &other;
  EXPECT_THROW(doc.RunSetupDialog(), EPDFException);
}

TEST_F(SettingsDlgTest, CancelledSaveWritesNothing) {
  TkvPDFDocument doc;
  Load(doc);
  const fs::path existing = scratch / "existing.pdf";
  WriteFileBytes(existing, "old bytes");
  const fs::path fresh = scratch / "fresh.pdf";
  for (const fs::path& target : {existing, fresh}) {
    Run(doc, [](TkvPDFSettingsDlg& d) {
      d.edtTitle->Text = "never written";
      d.CancelBtn->Click();
    });
    shown = 0;
    presenter->OnShowModal = [&](forms::TForm& f) {
      ++shown;
      dynamic_cast<TkvPDFSettingsDlg&>(f).CancelBtn->Click();
      return mrNone;
    };
    doc.SaveToFile(target.string());
    EXPECT_EQ(shown, 1);
  }
  EXPECT_EQ(ReadFileBytes(existing), "old bytes");
  EXPECT_FALSE(fs::exists(fresh));
  EXPECT_EQ(doc.DocInfo->Title(), u"Report (final)");

  // Without the dialog switch the save asks nobody.
  doc.ShowSetupDialog = false;
  shown = 0;
  doc.SaveToFile(fresh.string());
  EXPECT_EQ(shown, 0);
  EXPECT_TRUE(fs::exists(fresh));
}

// ---- saved files checked by outside tools ---------------------------------------

using tk::test::pdf::Qpdf;

TEST_F(SettingsDlgTest, EncryptionChosenInTheDialogIsWhatTheFileCarries) {
  TK_REQUIRE_TOOL("qpdf");
  TK_REQUIRE_TOOL("pdfinfo");
  const struct {
    const char* name;
    int level;                       // rgLevel item
    std::vector<int> withheld;       // permission items unchecked
    std::vector<std::string> lines;  // in qpdf --show-encryption
  } cases[] = {
      {"128 bit, no copying or changing",
       1,
       {1, 2},
       {"R = 3", "extract for any purpose: not allowed", "modify other: not allowed",
        "print high resolution: allowed", "modify annotations: allowed", "modify forms: allowed"}},
      {"128 bit, no printing",
       1,
       {0},
       {"R = 3", "print low resolution: not allowed", "print high resolution: not allowed",
        "extract for any purpose: allowed", "modify document assembly: allowed"}},
      {"128 bit, no assembly or forms",
       1,
       {4, 6},
       {"R = 3", "modify document assembly: not allowed", "modify forms: not allowed",
        "extract for accessibility: allowed"}},
      {"40 bit, no notes",
       0,
       {3},
       {"R = 2", "modify annotations: not allowed", "print low resolution: allowed"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFDocument doc;
    Load(doc);
    const std::string file = (scratch / ("enc" + std::to_string(n++) + ".pdf")).string();
    presenter->OnShowModal = [&](forms::TForm& f) {
      auto& d = dynamic_cast<TkvPDFSettingsDlg&>(f);
      d.edtTitle->Text = "Quarterly report";
      d.edtAuthor->Text = "Ann Lee";
      d.chkEnableEncryption->Click();
      d.edtOwnerPassword->Text = d.edtConfirmOwnerPassword->Text = "0wner";
      d.edtUserPassword->Text = d.edtConfirmUserPassword->Text = "us3r";
      d.rgLevel->Select(c.level);
      for (int i : c.withheld) d.chklstUserPermissions->ClickCheck(i);
      d.OKBtn->Click();
      return mrNone;
    };
    doc.SaveToFile(file);
    int rc = -1;
    const std::string check = Qpdf({"--check", "--password=us3r", file}, &rc);
    EXPECT_EQ(rc, 0) << check;
    const std::string shownEnc = Qpdf({"--show-encryption", "--password=us3r", file});
    EXPECT_NE(shownEnc.find("Supplied password is user password"), std::string::npos) << shownEnc;
    for (const auto& line : c.lines)
      EXPECT_NE(shownEnc.find(line + "\n"), std::string::npos) << line << "\n" << shownEnc;
    EXPECT_NE(
        Qpdf({"--show-encryption", "--password=0wner", file}).find("Supplied password is owner password"),
        std::string::npos);
    Qpdf({"--check", "--password=wrong", file}, &rc);
    EXPECT_NE(rc, 0);
    const auto info = RunTool({"pdfinfo", "-upw", "us3r", file});
    EXPECT_NE(info.out.find("Title:           Quarterly report\n"), std::string::npos)
        << info.out << info.err;
    EXPECT_NE(info.out.find("Author:          Ann Lee\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Pages:           3\n"), std::string::npos) << info.out;
  }
}

TEST_F(SettingsDlgTest, NewPasswordsTakeEffectOnTheNextSave) {
  TK_REQUIRE_TOOL("qpdf");
  TkvPDFDocument doc;
  Load(doc);
  auto choose = [&](const std::string& user) {
    presenter->OnShowModal = [user](forms::TForm& f) {
      auto& d = dynamic_cast<TkvPDFSettingsDlg&>(f);
      if (!d.chkEnableEncryption->Checked()) d.chkEnableEncryption->Click();
      d.rgLevel->Select(1);
      d.edtOwnerPassword->Text = d.edtConfirmOwnerPassword->Text = "owner";
      d.edtUserPassword->Text = d.edtConfirmUserPassword->Text = user;
      d.OKBtn->Click();
      return mrNone;
    };
  };
  const std::string first = (scratch / "first.pdf").string(), second = (scratch / "second.pdf").string();
  choose("one");
  doc.SaveToFile(first);
  choose("two");
  doc.SaveToFile(second);
  int rc = -1;
  Qpdf({"--check", "--password=one", first}, &rc);
  EXPECT_EQ(rc, 0);
  Qpdf({"--check", "--password=two", second}, &rc);
  EXPECT_EQ(rc, 0);
  Qpdf({"--check", "--password=one", second}, &rc);
  EXPECT_NE(rc, 0);
}

TEST_F(SettingsDlgTest, AUserPasswordOpenKeepsTheEncryptionLocked) {
  TK_REQUIRE_TOOL("qpdf");
  auto b = tk::test::pdf::SimpleDocument(3);
  b.Obj(2, kInfo);
  const fs::path plain = scratch / "plain.pdf", locked = scratch / "locked.pdf";
  WriteFileBytes(plain, b.Build());
  auto r = RunTool({"qpdf", "--allow-weak-crypto", "--encrypt", "user", "owner", "128", "--print=none", "--",
                    plain.string(), locked.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  TkvPDFDocument doc;
  doc.OnPassword = [](rtl::TPersistent*, std::string& pw, bool&) { pw = "user"; };
  ASSERT_TRUE(doc.LoadFromFile(locked.string()));
  ASSERT_FALSE(doc.IsOwner());

  const int result = Run(doc, [&](TkvPDFSettingsDlg& d) {
    EXPECT_TRUE(d.chkEnableEncryption->Checked());
    EXPECT_FALSE(d.edtUserPassword->Enabled());
    EXPECT_EQ(d.edtOwnerPassword->Text, "");  // never shown to a user
    d.chkEnableEncryption->Click();
    EXPECT_TRUE(d.chkEnableEncryption->Checked());
    EXPECT_FALSE(d.edtUserPassword->Enabled());
    d.edtTitle->Text = "retitled";
    d.OKBtn->Click();
  });
  EXPECT_EQ(result, mrOk);
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, "Only the owner can change the encryption settings");
  EXPECT_EQ(presenter->Messages[0].Type, forms::mtInformation);
  EXPECT_EQ(doc.DocInfo->Title(), u"retitled");
  EXPECT_TRUE(doc.Encryption->Enabled());
  EXPECT_FALSE(doc.Encryption->UserPermissions().Contains(AllowPrint));

  // Saved again, it opens with the user password and still may not print.
  presenter->OnShowModal = [](forms::TForm& f) {
    dynamic_cast<TkvPDFSettingsDlg&>(f).OKBtn->Click();
    return mrNone;
  };
  const std::string out = (scratch / "resaved.pdf").string();
  doc.SaveToFile(out);
  const std::string enc = Qpdf({"--show-encryption", "--password=user", out});
  EXPECT_NE(enc.find("print low resolution: not allowed"), std::string::npos) << enc;
}

}  // namespace
}  // namespace pdf
