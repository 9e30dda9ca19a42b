#include "platform/forms/Forms.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "platform/forms/ComCtrls.h"
#include "platform/forms/Dialogs.h"
#include "platform/forms/StdCtrls.h"

namespace forms {
namespace {

// A form that records its events and checks that its own members are still
// alive when OnDestroy fires.
class TRecordingForm : public TForm {
 public:
  explicit TRecordingForm(rtl::TComponent* owner) : TForm(owner) {
    label = new TLabel(this);
    label->SetParent(this);
    OnCreate = [this](rtl::TComponent*) { events.push_back("create"); };
    OnActivate = [this](rtl::TComponent*) { events.push_back("activate"); };
    OnClose = [this](rtl::TComponent*, TCloseAction& a) {
      events.push_back("close");
      a = closeAction;
    };
    OnDestroy = [this](rtl::TComponent*) {
      events.push_back("destroy:" + label->Caption());
      if (destroyLog) *destroyLog = events;
    };
    label->SetCaption("alive");
  }
  TLabel* label;
  std::vector<std::string> events;
  TCloseAction closeAction = caHide;
  std::vector<std::string>* destroyLog = nullptr;
};

struct AppFixture : ::testing::Test {
  AppFixture() {
    app = std::make_unique<TApplication>();
    auto p = std::make_unique<TScriptedPresenter>();
    presenter = p.get();
    app->SetPresenter(std::move(p));
    app->Title = "Title";
  }
  std::unique_ptr<TApplication> app;
  TScriptedPresenter* presenter;
};

TEST_F(AppFixture, FirstFormIsMainAndEventsRunInOrder) {
  std::vector<std::string> log;
  TRecordingForm* main = nullptr;
  TRecordingForm* second = nullptr;
  app->CreateForm(main);
  app->CreateForm(second);
  EXPECT_EQ(Application, app.get());
  EXPECT_EQ(app->MainForm(), main);
  main->destroyLog = &log;
  main->OnActivate = [&](rtl::TComponent*) {
    main->events.push_back("activate");
    main->Close();
  };
  app->Run();
  EXPECT_TRUE(app->Terminated());
  EXPECT_TRUE(main->Closed());
  app.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"create", "activate", "close", "destroy:alive"}));
  EXPECT_EQ(Application, nullptr);
  EXPECT_EQ(Screen, nullptr);
}

TEST_F(AppFixture, ExceptionInOnCreateIsReportedWithAFullStop) {
  struct TFailing : TForm {
    explicit TFailing(rtl::TComponent* o) : TForm(o) {
      OnCreate = [](rtl::TComponent*) { throw rtl::EInOutError("I/O error 2"); };
    }
  };
  TFailing* f = nullptr;
  app->CreateForm(f);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, "I/O error 2.");
  EXPECT_EQ(presenter->Messages[0].Caption, "Title");
  EXPECT_EQ(presenter->Messages[0].Type, mtError);
}

TEST_F(AppFixture, ExceptionReportTable) {
  struct Case {
    const char* message;
    const char* shown;
    const char* subject = "";
  } cases[] = {{"Wrong password.", "Wrong password."},
               {"Exec Error 2", "Exec Error 2."},
               {"", ""},
               {"a,", "a,"},
               {"Invalid PDF Header", "Invalid PDF Header.", "/docs/scan.pdf"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    presenter->Messages.clear();
    rtl::Exception e(c.message);
    e.Subject = c.subject;
    app->HandleException(e);
    ASSERT_EQ(presenter->Messages.size(), 1u);
    EXPECT_EQ(presenter->Messages[0].Text, c.shown);
    EXPECT_EQ(presenter->Messages[0].Subject, c.subject);
  }
  presenter->Messages.clear();
  app->HandleException(rtl::EAbort("silent"));
  EXPECT_TRUE(presenter->Messages.empty());
}

TEST_F(AppFixture, CloseActionNoneKeepsTheProgramRunning) {
  TRecordingForm* main = nullptr;
  app->CreateForm(main);
  main->closeAction = caNone;
  main->Close();
  EXPECT_FALSE(main->Closed());
  EXPECT_FALSE(app->Terminated());
  main->closeAction = caHide;
  main->Close();
  EXPECT_TRUE(app->Terminated());
}

TEST_F(AppFixture, ExceptionInOnActivateIsReportedAndTheLoopGoesOn) {
  TRecordingForm* main = nullptr;
  app->CreateForm(main);
  main->OnActivate = [&](rtl::TComponent*) {
    app->PostMessage([&] { main->Close(); });
    throw rtl::Exception("boom");
  };
  app->Run();
  ASSERT_EQ(presenter->Messages.size(), 1u);
  EXPECT_EQ(presenter->Messages[0].Text, "boom.");
  EXPECT_TRUE(main->Closed());
}

TEST(Application, TerminationSignalClosesTheMainForm) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    TApplication a;
    a.SetPresenter(std::make_unique<TScriptedPresenter>());
    TRecordingForm* main = nullptr;
    a.CreateForm(main);
    main->OnActivate = [&](rtl::TComponent*) { a.PostMessage([sig] { std::raise(sig); }); };
    a.Run();
    EXPECT_EQ(main->events.back(), "close");
    EXPECT_TRUE(a.Terminated());
    // The handler of Run is gone again.
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
  }
}

TEST_F(AppFixture, PollersRunOnEveryPumpUntilRemoved) {
  int calls = 0;
  int id = app->AddPoller([&] { ++calls; });
  app->ProcessMessages();
  app->ProcessMessages();
  app->RemovePoller(id);
  app->ProcessMessages();
  EXPECT_EQ(calls, 2);
}

TEST_F(AppFixture, ShowModalTakesTheResultOfTheButtonOrCancel) {
  TForm* dlg = nullptr;
  app->CreateForm(dlg);
  auto* edit = new TEdit(dlg);
  edit->SetParent(dlg);
  auto* ok = new TButton(dlg);
  ok->SetParent(dlg);
  ok->ModalResult = mrOk;
  std::vector<TCloseAction> closes;
  dlg->OnClose = [&](rtl::TComponent*, TCloseAction& a) { closes.push_back(a); };

  EXPECT_EQ(dlg->ShowModal(), mrCancel);  // nobody answers

  presenter->OnShowModal = [&](TForm& f) {
    EXPECT_TRUE(f.Modal());
    edit->Text = "secret";
    ok->Click();
    return mrNone;  // the button's result counts
  };
  EXPECT_EQ(dlg->ShowModal(), mrOk);
  EXPECT_EQ(edit->Text, "secret");
  EXPECT_FALSE(dlg->Visible());

  presenter->OnShowModal = [&](TForm& f) {
    f.Close();
    return mrNone;
  };
  EXPECT_EQ(dlg->ShowModal(), mrCancel);
  EXPECT_EQ(closes.size(), 3u);
  // Closing a modal form does not end the program.
  EXPECT_FALSE(app->Terminated());
}

TEST_F(AppFixture, OnShowRunsAtEveryShowingAndMayFail) {
  TForm* dlg = nullptr;
  app->CreateForm(dlg);
  int shows = 0;
  bool fail = false;
  dlg->OnShow = [&](rtl::TComponent*) {
    ++shows;
    if (fail) throw rtl::Exception("cannot show");
  };
  presenter->OnShowModal = [&](TForm& f) {
    EXPECT_EQ(shows, 1 + (fail ? 1 : 0));
    f.ModalResult = mrOk;
    return mrNone;
  };
  EXPECT_EQ(dlg->ShowModal(), mrOk);
  EXPECT_EQ(shows, 1);
  fail = true;
  presenter->OnShowModal = [&](TForm&) {
    ADD_FAILURE() << "a form that failed to show is not presented";
    return mrOk;
  };
  EXPECT_THROW(dlg->ShowModal(), rtl::Exception);
  EXPECT_FALSE(dlg->Modal());
  EXPECT_FALSE(dlg->Visible());
}

TEST_F(AppFixture, StatusLineIsSentWhenItChanges) {
  TForm* main = nullptr;
  app->CreateForm(main);
  auto* file = new TLabel(main);
  file->SetParent(main);
  auto* state = new TLabel(main);
  state->SetParent(main);
  auto* bar = new TProgressBar(main);
  bar->SetParent(main);
  auto* other = new TLabel(main);
  other->SetParent(main);
  main->AddStatusControl(file);
  main->AddStatusControl(state);
  main->AddStatusControl(bar);

  file->SetCaption("file a.pdf");
  state->SetCaption("start");
  app->ProcessMessages();
  bar->SetMax(5);
  bar->SetPosition(2);
  other->SetCaption("not shown");
  app->ProcessMessages();
  app->ProcessMessages();
  state->SetCaption("start");  // unchanged
  app->ProcessMessages();
  bar->SetPosition(0);
  file->SetCaption("");
  state->SetCaption("");
  app->ProcessMessages();
  EXPECT_EQ(presenter->StatusLines,
            (std::vector<std::string>{"file a.pdf  start", "file a.pdf  start  [2/5]", ""}));
}

TEST_F(AppFixture, MessageBoxFlagsTable) {
  struct Case {
    int flags;
    TMsgDlgType type;
    TMsgDlgButtons buttons;
  } cases[] = {
      {MB_OK | MB_ICONWARNING, mtWarning, mbOK},
      {MB_YESNO | MB_ICONQUESTION, mtConfirmation, mbYes | mbNo},
      {MB_OKCANCEL | MB_ICONINFORMATION, mtInformation, mbOK | mbCancel},
      {MB_YESNOCANCEL | MB_ICONSTOP, mtError, mbYes | mbNo | mbCancel},
      {MB_OK, mtCustom, mbOK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    presenter->Messages.clear();
    presenter->Answers = {IDYES};
    EXPECT_EQ(app->MessageBox("t", "c", c.flags), IDYES);
    ASSERT_EQ(presenter->Messages.size(), 1u);
    EXPECT_EQ(presenter->Messages[0].Type, c.type);
    EXPECT_EQ(presenter->Messages[0].Buttons, c.buttons);
  }
}

TEST_F(AppFixture, ClientSizeKeepsTheFrame) {
  TForm* main = nullptr;
  app->CreateForm(main);
  main->SetClientWidth(304);
  main->SetClientHeight(281);
  EXPECT_EQ(main->ClientWidth(), 304);
  EXPECT_EQ(main->ClientHeight(), 281);
  EXPECT_GT(main->Width, 304);
  EXPECT_GT(main->Height, 281);
}

}  // namespace
}  // namespace forms
