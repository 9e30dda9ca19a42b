#include "platform/forms/Forms.h"

#include <csignal>

#include "platform/forms/Dialogs.h"
#include "platform/rtl/SysUtils.h"

namespace forms {

TApplication* Application = nullptr;
TScreen* Screen = nullptr;

namespace {

volatile std::sig_atomic_t g_closeRequested = 0;

extern "C" void OnTerminationSignal(int) {
  g_closeRequested = 1;
}

// Installs the close-on-signal handlers for the life of Run. SA_RESETHAND
// puts the default action back, so a second signal ends the program even
// when a handler hangs.
class SignalScope {
 public:
  SignalScope() {
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
    // A closed terminal or a session that ends: save and end as for SIGTERM.
    sigaction(SIGHUP, &sa, &oldHup_);
  }
  ~SignalScope() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    sigaction(SIGHUP, &oldHup_, nullptr);
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

 private:
  struct sigaction oldInt_ {};
  struct sigaction oldTerm_ {};
  struct sigaction oldHup_ {};
};

void Report(const std::exception& e) {
  if (Application) Application->HandleException(e);
}

}  // namespace

// ---- TForm ------------------------------------------------------------------

TForm::TForm(rtl::TComponent* owner) : TWinControl(owner) {
  SetVisible(false);
}

TForm::~TForm() {
  ReleaseWindow();
}

void TForm::VisibleChanged() {
  SyncWindow();
  if (Application) Application->Presenter().FormStateChanged(*this);
  if (Visible() && OnShow) OnShow(this);
}

void TForm::CaptionChanged() {
  SyncWindow();
  if (Application) Application->Presenter().FormStateChanged(*this);
}

void TForm::DoCreate() {
  if (created_) return;
  created_ = true;
  if (!OnCreate) return;
  try {
    OnCreate(this);
  } catch (const std::exception& e) {
    if (!Application) throw;
    Report(e);
  }
}

void TForm::DoDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  if (!OnDestroy) return;
  try {
    OnDestroy(this);
  } catch (const std::exception& e) {
    Report(e);
  } catch (...) {
  }
}

void TForm::Activate() {
  if (active_) return;
  active_ = true;
  if (OnActivate) OnActivate(this);
}

void TForm::Deactivate() {
  if (!active_) return;
  active_ = false;
  if (OnDeactivate) OnDeactivate(this);
}

void TForm::Close() {
  closeDeferred_ = false;
  // Senders of close commands are answered once OnClose has run (or has
  // failed), unless it put the close off.
  struct Answer {
    TForm* form;
    ~Answer() {
      if (!form->closeDeferred_) form->AnswerCloseCommands();
    }
  } answer{this};
  if (modal_) {
    ModalResult = mrCancel;
    return;
  }
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  if (action == caNone) return;
  closeDeferred_ = false;  // closing now after all
  closed_ = true;
  if (Application && Application->MainForm() == this) {
    Application->Terminate();
    return;
  }
  if (action == caMinimize) {
    WindowState = wsMinimized;
    return;
  }
  active_ = false;
  Hide();
}

TModalResult TForm::ShowModal() {
  modal_ = true;
  closed_ = false;
  ModalResult = mrNone;
  TModalResult result = mrCancel;
  try {
    // OnShow may fail: the form then ends its modal state like any failure.
    Show();
    active_ = true;
    result = Application ? Application->Presenter().ShowModal(*this) : mrCancel;
  } catch (...) {
    modal_ = false;
    active_ = false;
    Hide();
    throw;
  }
  if (result == mrNone) result = ModalResult;
  if (result == mrNone) result = mrCancel;
  ModalResult = result;
  modal_ = false;
  TCloseAction action = caHide;
  if (OnClose) OnClose(this, action);
  active_ = false;
  Hide();
  return result;
}

std::string TForm::StatusLine() const {
  std::string line;
  for (const TControl* c : statusControls_) {
    if (!c->Visible()) continue;
    std::string part = c->StatusText();
    if (part.empty()) continue;
    if (!line.empty()) line += "  ";
    line += part;
  }
  return line;
}

// ---- TApplication ---------------------------------------------------------------

TApplication::TApplication() : rtl::TComponent(nullptr), presenter_(MakeDefaultPresenter()) {
  auto* screen = new TScreen(this);
  // Messages other processes send to our windows (a close command).
  AddPoller([] { os::TWindowDirectory::Default().PollMessages(); });
  if (!Application) {
    Application = this;
    Screen = screen;
  }
}

TApplication::~TApplication() {
  // OnDestroy runs while the whole form still exists, last created first.
  for (int i = ComponentCount() - 1; i >= 0; --i)
    if (auto* f = dynamic_cast<TForm*>(Components(i))) f->DoDestroy();
  if (Application == this) {
    Application = nullptr;
    Screen = nullptr;
  }
}

void TApplication::SetPresenter(std::unique_ptr<TPresenter> presenter) {
  if (presenter) presenter_ = std::move(presenter);
}

void TApplication::RequestCloseFromSignal() {
  g_closeRequested = 1;
}

int TApplication::AddPoller(std::function<void()> fn) {
  pollers_.push_back({nextPollerId_, std::move(fn)});
  return nextPollerId_++;
}

void TApplication::RemovePoller(int id) {
  for (auto it = pollers_.begin(); it != pollers_.end(); ++it)
    if (it->id == id) {
      pollers_.erase(it);
      return;
    }
}

void TApplication::ProcessMessages() {
  presenter_->PumpEvents();
  if (g_closeRequested) {
    g_closeRequested = 0;
    if (mainForm_ && !mainForm_->Closed()) {
      try {
        mainForm_->Close();
      } catch (const std::exception& e) {
        HandleException(e);
      }
    }
    // A signal ends the program even when OnClose refused to close.
    Terminate();
  }
  std::deque<std::function<void()>> pending;
  pending.swap(queue_);
  for (auto& fn : pending) {
    try {
      fn();
    } catch (const std::exception& e) {
      HandleException(e);
    }
  }
  std::vector<Poller> pollers = pollers_;
  for (auto& p : pollers) {
    try {
      p.fn();
    } catch (const std::exception& e) {
      HandleException(e);
    }
  }
  RefreshStatusLine(false);
}

void TApplication::RefreshStatusLine(bool force) {
  if (!mainForm_ || !(force || mainForm_->StatusDirty())) return;
  mainForm_->ClearStatusDirty();
  std::string line = mainForm_->StatusLine();
  if (line == shownStatus_) return;
  shownStatus_ = line;
  presenter_->Status(line);
}

void TApplication::Run() {
  if (!mainForm_) return;
  SignalScope signals;
  mainForm_->Show();
  try {
    mainForm_->Activate();
  } catch (const std::exception& e) {
    HandleException(e);
  }
  while (!terminated_) {
    ProcessMessages();
    if (terminated_) break;
    if (queue_.empty()) presenter_->WaitForEvents(kIdleSliceMs);
  }
  RefreshStatusLine(true);
  if (!shownStatus_.empty()) {
    shownStatus_.clear();
    presenter_->Status("");
  }
}

void TApplication::HandleException(const std::exception& e) {
  // An abort is the class library's silent exception.
  if (dynamic_cast<const rtl::EAbort*>(&e)) return;
  ShowException(e);
}

void TApplication::ShowException(const std::exception& e) {
  std::string msg = e.what();
  if (!msg.empty() && static_cast<unsigned char>(msg.back()) > '.') msg += '.';
  const auto* own = dynamic_cast<const rtl::Exception*>(&e);
  MessageBox(msg, Title, MB_OK | MB_ICONSTOP, own ? own->Subject : std::string());
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, int flags,
                             const std::string& subject) {
  TMessageRequest r;
  r.Text = text;
  r.Caption = caption;
  r.Subject = subject;
  switch (flags & 0x0F) {
    case MB_OKCANCEL:
      r.Buttons = mbOK | mbCancel;
      break;
    case MB_YESNOCANCEL:
      r.Buttons = mbYes | mbNo | mbCancel;
      break;
    case MB_YESNO:
      r.Buttons = mbYes | mbNo;
      break;
    default:
      r.Buttons = mbOK;
      break;
  }
  switch (flags & 0xF0) {
    case MB_ICONERROR:
      r.Type = mtError;
      break;
    case MB_ICONQUESTION:
      r.Type = mtConfirmation;
      break;
    case MB_ICONWARNING:
      r.Type = mtWarning;
      break;
    case MB_ICONINFORMATION:
      r.Type = mtInformation;
      break;
    default:
      r.Type = mtCustom;
      break;
  }
  // The message box results share their values with the modal results.
  return presenter_->Message(r);
}

}  // namespace forms
