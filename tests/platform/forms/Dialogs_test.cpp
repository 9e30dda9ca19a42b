#include "platform/forms/Dialogs.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/forms/StdCtrls.h"

namespace forms {
namespace {

// Output captured in a temporary file, input fed through a pipe.
struct TerminalRig {
  TerminalRig() {
    out = std::tmpfile();
    EXPECT_EQ(::pipe(fds), 0);
  }
  ~TerminalRig() {
    std::fclose(out);
    if (fds[1] >= 0) ::close(fds[1]);
  }
  void Feed(const std::string& s) {
    EXPECT_EQ(::write(fds[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  void EndInput() {
    ::close(fds[1]);
    fds[1] = -1;
  }
  std::string Output() {
    std::fflush(out);
    std::rewind(out);
    std::string s;
    int c;
    while ((c = std::fgetc(out)) != EOF) s += static_cast<char>(c);
    return s;
  }
  std::unique_ptr<TTerminalPresenter> Presenter() {
    return std::make_unique<TTerminalPresenter>(fds[0], out, true);
  }
  FILE* out;
  int fds[2] = {-1, -1};
};

TEST(Dialogs, SafeDefaultTable) {
  struct Case {
    TMsgDlgButtons buttons;
    TModalResult want;
  } cases[] = {{mbOK, mrOk},
               {mbYes | mbNo, mrNo},
               {mbYes | mbNo | mbCancel, mrCancel},
               {mbOK | mbCancel, mrCancel},
               {mbYes, mrYes},
               {0, mrOk}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buttons);
    EXPECT_EQ(SafeDefault(c.buttons), c.want);
  }
}

TEST(Dialogs, TerminalTextTable) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"a\n\rb", "a\nb"}, {"a\r\nb", "a\nb"}, {"a\rb", "a\nb"}, {"a\n\nb", "a\n\nb"}, {"", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(TerminalText(c.in), c.out);
  }
}

TEST(Dialogs, QuietPresenterPrintsAndTakesTheSafeDefault) {
  FILE* out = std::tmpfile();
  TQuietPresenter p(out);
  TMessageRequest r{"line1\n\rline2", "Cap", mtConfirmation, mbYes | mbNo};
  EXPECT_EQ(p.Message(r), mrNo);
  // What the message is about comes before it on its line.
  EXPECT_EQ(p.Message({"Broken.", "Cap", mtError, mbOK, "/d/scan.pdf"}), mrOk);
  TForm form(nullptr);
  EXPECT_EQ(p.ShowModal(form), mrCancel);
  TOpenDialog d(nullptr);
  EXPECT_FALSE(p.OpenFiles(d));
  std::fflush(out);
  std::rewind(out);
  char buf[64] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, out);
  std::fclose(out);
  EXPECT_EQ(std::string(buf, n), "Cap: line1\nline2\nCap: /d/scan.pdf: Broken.\n");
}

TEST(Dialogs, TerminalPresenterAnswersFromItsInput) {
  struct Case {
    const char* input;
    bool endInput;
    TMsgDlgButtons buttons;
    TModalResult want;
  } cases[] = {
      {"y\n", false, mbYes | mbNo, mrYes},
      {"No\n", false, mbYes | mbNo, mrNo},
      {"x\nq\nz\n", false, mbYes | mbNo, mrNo},  // three wrong answers: the safe default
      {"", true, mbYes | mbNo, mrNo},            // end of input
      {"\nc\n", false, mbYes | mbNo | mbCancel, mrCancel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    TerminalRig rig;
    rig.Feed(c.input);
    if (c.endInput) rig.EndInput();
    auto p = rig.Presenter();
    EXPECT_EQ(p->Message({"Question", "Cap", mtConfirmation, c.buttons}), c.want);
    EXPECT_NE(rig.Output().find("Cap: Question\n"), std::string::npos);
  }
}

TEST(Dialogs, TerminalPresenterDoesNotWaitOnAnOkOnlyMessage) {
  TerminalRig rig;
  rig.Feed("left for later\n");
  auto p = rig.Presenter();
  EXPECT_EQ(p->Message({"Note", "", mtWarning, mbOK}), mrOk);
  TOpenDialog d(nullptr);
  d.Options |= ofAllowMultiSelect;
  rig.Feed("/b.pdf\n\n");
  EXPECT_TRUE(p->OpenFiles(d));
  EXPECT_EQ(d.Files, (std::vector<std::string>{"left for later", "/b.pdf"}));
}

TEST(Dialogs, TerminalPresenterFillsTheEditsOfAModalForm) {
  TForm form(nullptr);
  form.SetCaption("Password");
  auto* label = new TLabel(&form);
  label->SetParent(&form);
  label->SetCaption("Enter it");
  auto* edit = new TEdit(&form);
  edit->SetParent(&form);
  edit->PasswordChar = '*';
  {
    TerminalRig rig;
    rig.Feed("pw\n");
    EXPECT_EQ(rig.Presenter()->ShowModal(form), mrOk);
    EXPECT_EQ(edit->Text, "pw");
    EXPECT_EQ(rig.Output(), "Password\nEnter it\n> ");
  }
  {
    TerminalRig rig;
    rig.EndInput();
    EXPECT_EQ(rig.Presenter()->ShowModal(form), mrCancel);
  }
}

TEST(Dialogs, TerminalStatusLineIsRewrittenInPlace) {
  TerminalRig rig;
  auto p = rig.Presenter();
  p->Status("one");
  p->Status("two");
  p->Message({"msg", "", mtWarning, mbOK});
  p->Status("three");
  p->Status("");
  EXPECT_EQ(rig.Output(), "\rone\033[K\rtwo\033[K\nmsg\n\rthree\033[K\n");
}

TEST(Dialogs, OpenDialogTakesTheScriptedChoice) {
  TApplication app;
  auto sp = std::make_unique<TScriptedPresenter>();
  auto* p = sp.get();
  app.SetPresenter(std::move(sp));
  TOpenDialog d(nullptr);
  d.Title = "pick";
  p->OpenAnswers = {{"/a.pdf", "/b.pdf"}, {"/a.pdf", "/b.pdf"}};
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(d.Files.size(), 1u);  // no multi-select: the first only
  d.Options |= ofAllowMultiSelect;
  EXPECT_TRUE(d.Execute());
  EXPECT_EQ(d.Files.size(), 2u);
  EXPECT_EQ(d.FileName, "/a.pdf");
  EXPECT_FALSE(d.Execute());  // nothing scripted: cancelled
  EXPECT_TRUE(d.Files.empty());
  EXPECT_EQ(p->OpenTitles, (std::vector<std::string>{"pick", "pick", "pick"}));

  p->Answers = {mrYes};
  EXPECT_EQ(MessageDlg("sure?", mtConfirmation, mbYes | mbNo), mrYes);
  EXPECT_EQ(p->Messages.back().Caption, "Confirm");
}

}  // namespace
}  // namespace forms
