// Message boxes, the file chooser and the presenters that show them.
//
// Nothing here draws a window. Every dialog goes through the application's
// presenter: a scripted one in tests, a terminal one when a person runs the
// program in a terminal, and a non-interactive one otherwise, which writes
// the message on stderr and takes the safe default answer.
#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/forms/Forms.h"

namespace forms {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

using TMsgDlgButtons = uint16_t;
inline constexpr TMsgDlgButtons mbYes = 0x0001;
inline constexpr TMsgDlgButtons mbNo = 0x0002;
inline constexpr TMsgDlgButtons mbOK = 0x0004;
inline constexpr TMsgDlgButtons mbCancel = 0x0008;
inline constexpr TMsgDlgButtons mbAbort = 0x0010;
inline constexpr TMsgDlgButtons mbRetry = 0x0020;
inline constexpr TMsgDlgButtons mbIgnore = 0x0040;

// A message box as the presenter receives it.
struct TMessageRequest {
  std::string Text;
  std::string Caption;
  TMsgDlgType Type = mtInformation;
  TMsgDlgButtons Buttons = mbOK;
  // What the message is about (an exception's subject): a line on a stream
  // names it between the caption and the text; a window leaves it out.
  std::string Subject = {};
};

// The answer that loses nothing when nobody can be asked: Cancel, else No,
// else OK (or the only button there is).
TModalResult SafeDefault(TMsgDlgButtons buttons);

// A message box with the application title as caption; returns mrYes etc.
TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons, int helpCtx = 0);
void ShowMessage(const std::string& msg);

using TOpenOptions = uint16_t;
inline constexpr TOpenOptions ofReadOnly = 0x0001;
inline constexpr TOpenOptions ofHideReadOnly = 0x0002;
inline constexpr TOpenOptions ofAllowMultiSelect = 0x0004;
inline constexpr TOpenOptions ofFileMustExist = 0x0008;
inline constexpr TOpenOptions ofEnableSizing = 0x0010;

class TOpenDialog : public rtl::TComponent {
 public:
  explicit TOpenDialog(rtl::TComponent* owner) : rtl::TComponent(owner) {}
  // Asks the presenter; true when the user chose at least one file. Then
  // FileName is the first chosen file and Files all of them in order.
  bool Execute();

  std::string Title;
  std::string Filter;  // "description|pattern|description|pattern..."
  std::string DefaultExt;
  std::string InitialDir;
  std::string FileName;
  std::vector<std::string> Files;
  TOpenOptions Options = ofHideReadOnly | ofEnableSizing;
};

class TPresenter {
 public:
  virtual ~TPresenter() = default;
  // Shows a message box and returns the button chosen (mrOk, mrYes, ...).
  virtual TModalResult Message(const TMessageRequest& request) = 0;
  // Fills dialog.Files with the chosen files; false when cancelled.
  virtual bool OpenFiles(TOpenDialog& dialog) = 0;
  // Lets the user fill a modal form; returns its modal result.
  virtual TModalResult ShowModal(TForm& form) = 0;
  // Lets the user choose a folder, starting at folder, in a dialog titled
  // title; false when cancelled. Without a display nobody can: false.
  virtual bool ChooseFolder(const std::string& title, std::string& folder);
  // The main form's line of progress; an empty line ends it.
  virtual void Status(const std::string& line) = 0;
  // Whether a person is there to answer, and to close a window left open.
  virtual bool Interactive() const = 0;

  // Hooks of a presenter that shows the forms as windows. The defaults keep
  // the headless behaviour: nothing to pump, and the idle wait is a sleep.
  // First thing of every ProcessMessages: the window system's events.
  virtual void PumpEvents() {}
  // The idle wait of the message loop, at most ms milliseconds.
  virtual void WaitForEvents(int ms);
  // A form was shown or hidden, or its caption changed.
  virtual void FormStateChanged(TForm&) {}
  // A control asked for a repaint (its state may have changed).
  virtual void ControlChanged(TControl&) {}
  // A control is being freed: only its address may still be used, as a key.
  virtual void ControlFreed(TControl&) {}
};

// Non-interactive: messages go to the stream (stderr by default), every
// question takes the safe default, no file is chosen, a modal form is
// cancelled, the status line is not shown.
class TQuietPresenter : public TPresenter {
 public:
  explicit TQuietPresenter(FILE* out = stderr) : out_(out) {}
  TModalResult Message(const TMessageRequest& request) override;
  bool OpenFiles(TOpenDialog& dialog) override;
  TModalResult ShowModal(TForm& form) override;
  void Status(const std::string&) override {}
  bool Interactive() const override { return false; }

 private:
  FILE* out_;
};

// A person at a terminal: messages and the progress line on the output
// (stderr), questions answered from the input (the terminal). A message with
// only an OK button is shown without waiting. The end of the input answers
// like the quiet presenter.
class TTerminalPresenter : public TPresenter {
 public:
  // The presenter owns inFd when ownsIn is true.
  TTerminalPresenter(int inFd, FILE* out, bool ownsIn);
  ~TTerminalPresenter() override;
  TTerminalPresenter(const TTerminalPresenter&) = delete;
  TTerminalPresenter& operator=(const TTerminalPresenter&) = delete;

  TModalResult Message(const TMessageRequest& request) override;
  bool OpenFiles(TOpenDialog& dialog) override;
  // Asks for the text of every visible, enabled edit box of the form in
  // order (without echo where the box hides its characters); Enter gives
  // mrOk, the end of the input mrCancel.
  TModalResult ShowModal(TForm& form) override;
  void Status(const std::string& line) override;
  bool Interactive() const override { return true; }

 private:
  bool ReadLine(std::string& line, bool secret);
  void EndStatus();

  int in_;
  FILE* out_;
  bool ownsIn_;
  bool statusShown_ = false;
};

// Scripted for tests: records what was shown and answers from queues.
class TScriptedPresenter : public TPresenter {
 public:
  TModalResult Message(const TMessageRequest& request) override;
  bool OpenFiles(TOpenDialog& dialog) override;
  TModalResult ShowModal(TForm& form) override;
  bool ChooseFolder(const std::string& title, std::string& folder) override;
  void Status(const std::string& line) override { StatusLines.push_back(line); }
  // Plays a person at hand, who closes what stays open.
  bool Interactive() const override { return true; }

  std::vector<TMessageRequest> Messages;
  std::vector<std::string> StatusLines;
  // Answers to message boxes in order; when empty, the safe default.
  std::deque<TModalResult> Answers;
  // Files chosen in open dialogs in order; when empty, the dialog is
  // cancelled. The dialogs seen are recorded by title.
  std::deque<std::vector<std::string>> OpenAnswers;
  std::vector<std::string> OpenTitles;
  // Folders chosen in folder dialogs in order, as OpenAnswers.
  std::deque<std::string> FolderAnswers;
  std::vector<std::string> FolderTitles;
  // Plays the user of a modal form; unset: mrCancel.
  std::function<TModalResult(TForm&)> OnShowModal;
};

// The terminal presenter when stderr is a terminal and the terminal can be
// opened for reading, else the quiet one.
std::unique_ptr<TPresenter> MakeDefaultPresenter();

// Line ends of a message as a terminal wants them ("\n\r", "\r\n" and a lone
// "\r" all become "\n").
std::string TerminalText(const std::string& text);

}  // namespace forms
