#include <fcntl.h>
#include <unistd.h>

#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"
#include "platform/os/Windows.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

void AppendLine(const fs::path& p, const std::string& line) {
  int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_GE(fd, 0);
  std::string s = line + "\n";
  ASSERT_EQ(::write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  ::close(fd);
}

}  // namespace

TEST(FormWindowsTest, ShownFormIsListedWithItsCaption) {
  ScratchDir scratch;
  os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
  {
    forms::TApplication app;
    app.SetPresenter(std::make_unique<forms::TScriptedPresenter>());
    forms::TForm* form = nullptr;
    app.CreateForm(form);
    form->Name = "Form1";
    form->SetCaption("Main window");
    EXPECT_EQ(form->Handle(), 0u);  // not shown yet: no window
    form->BorderStyle = forms::bsSingle;
    form->BorderIcons = forms::biSystemMenu | forms::biMinimize;
    form->Show();
    ASSERT_NE(form->Handle(), 0u);
    os::TWindowDirectory reader(scratch / "windows");  // as another process sees it
    auto r = reader.Find(form->Handle());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->Title, "Main window");
    EXPECT_EQ(r->ClassName, "TForm1");
    EXPECT_TRUE(r->Visible);
    EXPECT_EQ(r->Owner, 0u);
    EXPECT_EQ(r->Style, os::WS_CAPTION | os::WS_SYSMENU | os::WS_MINIMIZEBOX);

    forms::TForm* dialog = nullptr;
    app.CreateForm(dialog);
    dialog->BorderStyle = forms::bsDialog;
    dialog->Show();
    EXPECT_EQ(reader.Find(dialog->Handle())->Owner, form->Handle());

    form->SetCaption("Renamed");
    EXPECT_EQ(reader.Find(form->Handle())->Title, "Renamed");
    form->Hide();
    EXPECT_FALSE(reader.Find(form->Handle())->Visible);
    EXPECT_EQ(reader.EnumWindows().size(), 2u);
  }
  os::TWindowDirectory reader(scratch / "windows");
  EXPECT_TRUE(reader.EnumWindows().empty());
  os::TWindowDirectory::SetDefaultFolder({});
}

// A main form titled "Converter window" and a second process that closes
// it by its title, in a window directory of the test's own.
class CloseCommandTest : public ::testing::Test {
 protected:
  CloseCommandTest() {
    os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
    tk::test::StandIn(scratch.path(), "closer",
                      "close_title=Converter window\nwindir=" + (scratch / "windows").string() + "\n");
    app = std::make_unique<forms::TApplication>();
    app->SetPresenter(std::make_unique<forms::TScriptedPresenter>());
    app->CreateForm(form);
    form->SetCaption("Converter window");
  }
  ~CloseCommandTest() override {
    app.reset();
    os::TWindowDirectory::SetDefaultFolder({});
  }
  // Shows the form and starts the closer.
  int StartCloser() {
    form->Show();
    return tk::test::StartProcess({closer.string()});
  }
  // Pumps as Run does, for up to ms, until the closer has its answer.
  bool PumpUntilAnswered(int pid, int ms, int& exitCode) {
    return tk::test::WaitFor(
        [&] {
          app->ProcessMessages();
          return tk::test::TryWaitProcess(pid, exitCode);
        },
        ms);
  }

  ScratchDir scratch;
  fs::path closer = scratch / "closer";
  fs::path log = closer.string() + ".log";
  std::unique_ptr<forms::TApplication> app;
  forms::TForm* form = nullptr;
};

TEST_F(CloseCommandTest, AnotherProcessClosesTheFormAfterOnClose) {
  int closes = 0;
  form->OnClose = [&](rtl::TComponent*, forms::TCloseAction&) {
    ++closes;
    AppendLine(log, "saved");  // what the converter keeps at close
  };
  int pid = StartCloser();
  ASSERT_GT(pid, 0);
  int exitCode = -1;
  ASSERT_TRUE(PumpUntilAnswered(pid, 20000, exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(app->Terminated());  // the main form closed
  // The answer came after OnClose had run.
  std::string text = ReadFileBytes(log);
  EXPECT_NE(text.find("saved\nsent ok=1\n"), std::string::npos) << text;
}

TEST_F(CloseCommandTest, DeferredCloseKeepsTheSenderWaitingUntilTheFormCloses) {
  bool busy = true;
  int closes = 0;
  form->OnClose = [&](rtl::TComponent*, forms::TCloseAction& action) {
    ++closes;
    if (busy) {
      form->DeferClose();
      action = forms::caNone;
      AppendLine(log, "deferred");
      return;
    }
    AppendLine(log, "saved");
  };
  int pid = StartCloser();
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(tk::test::WaitFor(
      [&] {
        app->ProcessMessages();
        return closes == 1;
      },
      20000));
  // Pumping on does not answer the sender.
  int exitCode = -1;
  EXPECT_FALSE(PumpUntilAnswered(pid, 300, exitCode));
  EXPECT_FALSE(form->Closed());
  busy = false;
  form->Close();
  EXPECT_TRUE(form->Closed());
  EXPECT_EQ(tk::test::WaitProcess(pid, 20000), 0);
  std::string text = ReadFileBytes(log);
  EXPECT_NE(text.find("deferred\nsaved\nsent ok=1\n"), std::string::npos) << text;
}

TEST_F(CloseCommandTest, RefusedCloseAnswersTheSender) {
  form->OnClose = [&](rtl::TComponent*, forms::TCloseAction& action) { action = forms::caNone; };
  int pid = StartCloser();
  ASSERT_GT(pid, 0);
  int exitCode = -1;
  ASSERT_TRUE(PumpUntilAnswered(pid, 20000, exitCode));
  EXPECT_EQ(exitCode, 0);
  EXPECT_FALSE(form->Closed());
}
