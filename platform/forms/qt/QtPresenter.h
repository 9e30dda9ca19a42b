// The desktop presenter: every visible form as a Qt window.
//
// The forms model stays the one source of truth. A form's window and its
// widgets are built when the form is first shown, in creation order
// honouring Align; the pump brings the widgets in line with the model (the
// controls that asked for a repaint at once, every control of the shown
// windows at a slower pace, since public fields change without notice).
// What the user does goes back through the model's own entry points:
// Click, SetChecked, Select, SetActivePage, SetItemIndex/SetSelected and
// DblClick, MouseDown/MouseMove, TMenuItem::Click, TForm::Close, KeyPress.
// A move of a window is written back to the form's Left and Top.
//
// Files dropped from other programs (text/uri-list) reach the window's drop
// procedure through the message queue, after the other program's drop has
// returned. Drags out of the program run as real drags (the drag loop).
// While Qt runs a loop of its own (a drag, a menu, a dialog) a timer keeps
// the application's messages and pollers running.
//
// Ownership: the presenter owns the windows it built, and the Qt application
// object when it made it (tests make their own, once per program).
#pragma once

#include <memory>
#include <string>

#include "platform/forms/Dialogs.h"

class QWidget;

namespace forms {

class TQtPresenter : public TPresenter {
 public:
  // Qt's start (the application object, the connection to the display)
  // comes at once, or with the first window or dialog: a program started on
  // work of its own (a converter given a scan) has it begun by then.
  enum class TStart { Now, WithFirstWindow };
  explicit TQtPresenter(TStart start = TStart::Now);
  ~TQtPresenter() override;
  TQtPresenter(const TQtPresenter&) = delete;
  TQtPresenter& operator=(const TQtPresenter&) = delete;

  TModalResult Message(const TMessageRequest& request) override;
  bool OpenFiles(TOpenDialog& dialog) override;
  TModalResult ShowModal(TForm& form) override;
  bool ChooseFolder(const std::string& title, std::string& folder) override;
  void Status(const std::string&) override {}
  bool Interactive() const override { return true; }

  void PumpEvents() override;
  void WaitForEvents(int ms) override;
  void FormStateChanged(TForm& form) override;
  void ControlChanged(TControl& control) override;
  void ControlFreed(TControl& control) override;

  // Builds the windows of the shown forms and brings every widget in line
  // with the model now.
  void Refresh();
  // The widget that shows control (a form: its window); nullptr when none
  // is built. Borrowed.
  QWidget* WidgetOf(const TControl& control) const;

  // Qt's filter list for the dialog filter "text|pattern|text|pattern".
  static std::string QtFilter(const std::string& filter);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace forms
