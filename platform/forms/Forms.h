// Forms, the application object and the screen.
//
// TApplication owns every form created through CreateForm; the first one is
// the main form, and the program ends when it closes. Forms own their
// controls. Events of a form fire synchronously from the calls named below.
// One TApplication is the program-wide Application (and its TScreen the
// program-wide Screen) while it lives; tests make a fresh one per test.
#pragma once

#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/forms/Controls.h"
#include "platform/os/Windows.h"

namespace forms {

class TPresenter;

enum TCloseAction { caNone, caHide, caFree, caMinimize };
enum TWindowState { wsNormal, wsMinimized, wsMaximized };
enum TPosition { poDesigned, poDefault, poScreenCenter, poMainFormCenter };
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

using TBorderIcons = uint8_t;
inline constexpr TBorderIcons biSystemMenu = 0x01;
inline constexpr TBorderIcons biMinimize = 0x02;
inline constexpr TBorderIcons biMaximize = 0x04;
inline constexpr TBorderIcons biHelp = 0x08;

using TCloseEvent = std::function<void(rtl::TComponent* Sender, TCloseAction& Action)>;

class TForm : public TWinControl {
 public:
  // The frame the window system adds around the client area.
  static constexpr int kFrameWidth = 3;
  static constexpr int kCaptionHeight = 22;

  explicit TForm(rtl::TComponent* owner);
  ~TForm() override;

  int ClientWidth() const { return Width - 2 * kFrameWidth; }
  int ClientHeight() const { return Height - 2 * kFrameWidth - kCaptionHeight; }
  void SetClientWidth(int w) { Width = w + 2 * kFrameWidth; }
  void SetClientHeight(int h) { Height = h + 2 * kFrameWidth + kCaptionHeight; }

  // Fires OnCreate once; an exception from it is reported and creation goes
  // on, as the class library does.
  void DoCreate();
  // Fires OnDestroy once, before the form is freed.
  void DoDestroy();

  // Activation fires OnActivate when the form was not active.
  void Activate();
  void Deactivate();
  bool Active() const { return active_; }

  // A modal form's Close sets ModalResult to mrCancel. Otherwise OnClose
  // decides the action (caHide by default); closing the main form ends the
  // program.
  void Close();
  bool Closed() const { return closed_; }
  // Called by OnClose (which then leaves Action at caNone) when the form
  // cannot close now but closes itself once its work is done: the sender of
  // a close command stays waiting until that later close has run.
  void DeferClose() { closeDeferred_ = true; }
  // Shows the form modally through the application's presenter and returns
  // its modal result (never mrNone: a dismissed form gives mrCancel).
  TModalResult ShowModal();
  bool Modal() const { return modal_; }

  // Status controls (labels, a progress bar) make up the one line of
  // progress that a terminal shows for the form.
  void AddStatusControl(TControl* control) { statusControls_.push_back(control); }
  std::string StatusLine() const;
  bool StatusDirty() const { return statusDirty_; }
  void MarkStatusDirty() { statusDirty_ = true; }
  void ClearStatusDirty() { statusDirty_ = false; }

  TWindowState WindowState = wsNormal;
  TFormBorderStyle BorderStyle = bsSizeable;
  TBorderIcons BorderIcons = biSystemMenu | biMinimize | biMaximize;
  TModalResult ModalResult = mrNone;
  TPosition Position = poDesigned;
  graphics::TFont Font;
  // The control that has the keyboard focus (borrowed), or nullptr.
  TControl* ActiveControl = nullptr;

  TNotifyEvent OnCreate;
  // Fires each time the form is shown (ShowModal included).
  TNotifyEvent OnShow;
  TNotifyEvent OnActivate;
  TNotifyEvent OnDeactivate;
  TCloseEvent OnClose;
  TNotifyEvent OnDestroy;

  // The form's top-level window in the window directory, registered when
  // the form is first shown (0 before). Other processes find it there by its
  // title and can close it: the close goes through the message queue.
  os::HWND Handle() const { return handle_; }

 protected:
  void CaptionChanged() override;
  void VisibleChanged() override;

 private:
  void SyncWindow();
  void ReleaseWindow();
  // Answers the senders of close commands: the close handler has run.
  void AnswerCloseCommands();
  os::HWND handle_ = 0;
  // Close commands whose senders wait for a deferred close.
  std::vector<os::TReply> closeReplies_;
  bool closeDeferred_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

  bool created_ = false;
  bool destroyed_ = false;
  bool active_ = false;
  bool closed_ = false;
  bool modal_ = false;
  bool statusDirty_ = false;
  std::vector<TControl*> statusControls_;  // borrowed
};

class TScreen : public rtl::TComponent {
 public:
  explicit TScreen(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}
  TCursor Cursor = crDefault;
};

class TApplication : public rtl::TComponent {
 public:
  // How often Run wakes to look for work when nothing happens.
  static constexpr int kIdleSliceMs = 20;

  TApplication();
  ~TApplication() override;

  void Initialize() {}

  // Creates a form owned by the application; the first becomes the main
  // form. OnCreate fires before CreateForm returns.
  template <typename T>
  void CreateForm(T*& reference) {
    T* form = new T(this);
    reference = form;
    if (!mainForm_) mainForm_ = form;
    form->DoCreate();
  }

  // Borrowed.
  TForm* MainForm() const { return mainForm_; }

  // Shows and activates the main form, then runs the message loop until the
  // main form closes or Terminate is called. SIGINT, SIGTERM and SIGHUP
  // close the main form (so its OnClose can save what it keeps); a second
  // signal ends the program at once.
  void Run();
  // Runs the pending messages and the pollers once, turns a pending signal
  // into a close of the main form, and refreshes the status line.
  void ProcessMessages();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }

  // Runs fn on the next pump of the message queue.
  void PostMessage(std::function<void()> fn) { queue_.push_back(std::move(fn)); }
  // A poller is called on every pump (sockets and the like); returns an id.
  int AddPoller(std::function<void()> fn);
  void RemovePoller(int id);

  // The default report of an exception: a message box with the message (an
  // abort is silent), about the exception's subject where it has one.
  void HandleException(const std::exception& e);
  void ShowException(const std::exception& e);
  // A message box with the window system's flags (MB_*); returns ID*.
  int MessageBox(const std::string& text, const std::string& caption, int flags) {
    return MessageBox(text, caption, flags, "");
  }
  int MessageBox(const std::string& text, const std::string& caption, int flags, const std::string& subject);

  TPresenter& Presenter() { return *presenter_; }
  void SetPresenter(std::unique_ptr<TPresenter> presenter);

  // For tests and the signal handler: what a SIGINT/SIGTERM/SIGHUP does.
  static void RequestCloseFromSignal();

  std::string Title;
  // The program's exit status, returned by its main when Run is over.
  int ExitCode = 0;

 private:
  void RefreshStatusLine(bool force);

  TForm* mainForm_ = nullptr;
  bool terminated_ = false;
  std::unique_ptr<TPresenter> presenter_;
  std::deque<std::function<void()>> queue_;
  struct Poller {
    int id;
    std::function<void()> fn;
  };
  std::vector<Poller> pollers_;
  int nextPollerId_ = 1;
  std::string shownStatus_;
};

// Message box flags and results of the window system.
inline constexpr int MB_OK = 0x0000;
inline constexpr int MB_OKCANCEL = 0x0001;
inline constexpr int MB_YESNOCANCEL = 0x0003;
inline constexpr int MB_YESNO = 0x0004;
inline constexpr int MB_ICONERROR = 0x0010;
inline constexpr int MB_ICONSTOP = MB_ICONERROR;
inline constexpr int MB_ICONQUESTION = 0x0020;
inline constexpr int MB_ICONWARNING = 0x0030;
inline constexpr int MB_ICONEXCLAMATION = MB_ICONWARNING;
inline constexpr int MB_ICONINFORMATION = 0x0040;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// The program-wide application and screen (nullptr when none lives).
extern TApplication* Application;
extern TScreen* Screen;

}  // namespace forms
