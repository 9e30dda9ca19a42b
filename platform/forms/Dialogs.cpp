#include "platform/forms/Dialogs.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "platform/forms/StdCtrls.h"

namespace forms {

namespace {

// How often the terminal asks again before it takes the safe default.
constexpr int kMaxTerminalAttempts = 3;

struct ButtonName {
  TMsgDlgButtons button;
  TModalResult result;
  char key;
  const char* label;
};

constexpr ButtonName kButtons[] = {
    {mbYes, mrYes, 'y', "[y]es"},
    {mbNo, mrNo, 'n', "[n]o"},
    {mbOK, mrOk, 'o', "[o]k"},
    {mbCancel, mrCancel, 'c', "[c]ancel"},
    {mbAbort, mrAbort, 'a', "[a]bort"},
    {mbRetry, mrRetry, 'r', "[r]etry"},
    {mbIgnore, mrIgnore, 'i', "[i]gnore"},
};

const char* TypeCaption(TMsgDlgType type) {
  switch (type) {
    case mtWarning:
      return "Warning";
    case mtError:
      return "Error";
    case mtInformation:
      return "Information";
    case mtConfirmation:
      return "Confirm";
    default:
      return nullptr;
  }
}

void CollectEdits(TWinControl& parent, std::vector<TEdit*>& edits, std::vector<std::string>& texts) {
  for (int i = 0; i < parent.ControlCount(); ++i) {
    TControl* c = parent.Controls(i);
    if (!c->Visible()) continue;
    if (auto* e = dynamic_cast<TEdit*>(c)) {
      if (e->Enabled() && !e->ReadOnly) edits.push_back(e);
    } else if (auto* l = dynamic_cast<TLabel*>(c)) {
      if (!l->Caption().empty()) texts.push_back(l->Caption());
    }
    if (auto* w = dynamic_cast<TWinControl*>(c)) CollectEdits(*w, edits, texts);
  }
}

void PrintMessage(FILE* out, const TMessageRequest& r) {
  std::string text = TerminalText(r.Text);
  if (!r.Subject.empty()) text = r.Subject + ": " + text;
  if (r.Caption.empty())
    std::fprintf(out, "%s\n", text.c_str());
  else
    std::fprintf(out, "%s: %s\n", r.Caption.c_str(), text.c_str());
  std::fflush(out);
}

}  // namespace

std::string TerminalText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += '\n';
    } else if (c == '\n') {
      if (i + 1 < text.size() && text[i + 1] == '\r') ++i;
      out += '\n';
    } else {
      out += c;
    }
  }
  return out;
}

TModalResult SafeDefault(TMsgDlgButtons buttons) {
  if (buttons & mbCancel) return mrCancel;
  if (buttons & mbNo) return mrNo;
  if (buttons & mbOK) return mrOk;
  if (buttons & mbAbort) return mrAbort;
  if (buttons & mbIgnore) return mrIgnore;
  if (buttons & mbRetry) return mrRetry;
  if (buttons & mbYes) return mrYes;
  return mrOk;
}

TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons, int) {
  TMessageRequest r;
  r.Text = msg;
  r.Type = type;
  r.Buttons = buttons ? buttons : mbOK;
  const char* caption = TypeCaption(type);
  r.Caption = caption ? caption : (Application ? Application->Title : std::string());
  if (!Application) return SafeDefault(r.Buttons);
  return Application->Presenter().Message(r);
}

void ShowMessage(const std::string& msg) {
  TMessageRequest r;
  r.Text = msg;
  r.Type = mtCustom;
  r.Buttons = mbOK;
  if (!Application) return;
  r.Caption = Application->Title;
  Application->Presenter().Message(r);
}

bool TOpenDialog::Execute() {
  Files.clear();
  if (!Application) return false;
  if (!Application->Presenter().OpenFiles(*this) || Files.empty()) {
    Files.clear();
    return false;
  }
  if (!(Options & ofAllowMultiSelect)) Files.resize(1);
  FileName = Files.front();
  return true;
}

// ---- quiet ---------------------------------------------------------------------

TModalResult TQuietPresenter::Message(const TMessageRequest& request) {
  PrintMessage(out_, request);
  return SafeDefault(request.Buttons);
}

bool TQuietPresenter::OpenFiles(TOpenDialog&) {
  return false;
}

TModalResult TQuietPresenter::ShowModal(TForm&) {
  return mrCancel;
}

// ---- terminal ------------------------------------------------------------------

TTerminalPresenter::TTerminalPresenter(int inFd, FILE* out, bool ownsIn)
    : in_(inFd), out_(out), ownsIn_(ownsIn) {}

TTerminalPresenter::~TTerminalPresenter() {
  if (ownsIn_ && in_ >= 0) ::close(in_);
}

bool TTerminalPresenter::ReadLine(std::string& line, bool secret) {
  line.clear();
  termios saved{};
  bool restore = false;
  if (secret && ::isatty(in_) && ::tcgetattr(in_, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    restore = ::tcsetattr(in_, TCSAFLUSH, &quiet) == 0;
  }
  bool got = false;
  for (;;) {
    char c = 0;
    ssize_t n = ::read(in_, &c, 1);
    if (n < 0 && errno == EINTR) break;  // a signal: the answer is abandoned
    if (n <= 0) break;
    got = true;
    if (c == '\n') break;
    if (c != '\r') line += c;
  }
  if (restore) {
    ::tcsetattr(in_, TCSAFLUSH, &saved);
    std::fputc('\n', out_);
  }
  return got;
}

void TTerminalPresenter::EndStatus() {
  if (!statusShown_) return;
  std::fputc('\n', out_);
  statusShown_ = false;
}

TModalResult TTerminalPresenter::Message(const TMessageRequest& request) {
  EndStatus();
  PrintMessage(out_, request);
  TMsgDlgButtons buttons = request.Buttons ? request.Buttons : mbOK;
  int count = 0;
  for (const auto& b : kButtons) count += (buttons & b.button) ? 1 : 0;
  if (count <= 1) return SafeDefault(buttons);
  std::string prompt;
  for (const auto& b : kButtons)
    if (buttons & b.button) prompt += (prompt.empty() ? "" : "/") + std::string(b.label);
  for (int attempt = 0; attempt < kMaxTerminalAttempts; ++attempt) {
    std::fprintf(out_, "%s? ", prompt.c_str());
    std::fflush(out_);
    std::string answer;
    if (!ReadLine(answer, false)) break;
    if (answer.empty()) continue;
    char key = static_cast<char>(std::tolower(static_cast<unsigned char>(answer[0])));
    for (const auto& b : kButtons)
      if ((buttons & b.button) && b.key == key) return b.result;
  }
  return SafeDefault(buttons);
}

bool TTerminalPresenter::OpenFiles(TOpenDialog& dialog) {
  EndStatus();
  std::fprintf(out_, "%s (%s; one file per line, an empty line ends):\n", dialog.Title.c_str(),
               dialog.Filter.c_str());
  std::fflush(out_);
  dialog.Files.clear();
  std::string line;
  while (ReadLine(line, false) && !line.empty()) {
    dialog.Files.push_back(line);
    if (!(dialog.Options & ofAllowMultiSelect)) break;
  }
  return !dialog.Files.empty();
}

TModalResult TTerminalPresenter::ShowModal(TForm& form) {
  EndStatus();
  std::vector<TEdit*> edits;
  std::vector<std::string> texts;
  CollectEdits(form, edits, texts);
  std::fprintf(out_, "%s\n", form.Caption().c_str());
  for (const auto& t : texts) std::fprintf(out_, "%s\n", TerminalText(t).c_str());
  for (TEdit* e : edits) {
    std::fprintf(out_, "> ");
    std::fflush(out_);
    std::string line;
    if (!ReadLine(line, e->PasswordChar != 0)) return mrCancel;
    e->Text = line;
  }
  return mrOk;
}

void TTerminalPresenter::Status(const std::string& line) {
  if (line.empty()) {
    EndStatus();
  } else {
    std::fprintf(out_, "\r%s\033[K", line.c_str());
    statusShown_ = true;
  }
  std::fflush(out_);
}

// ---- scripted ------------------------------------------------------------------

TModalResult TScriptedPresenter::Message(const TMessageRequest& request) {
  Messages.push_back(request);
  if (Answers.empty()) return SafeDefault(request.Buttons);
  TModalResult r = Answers.front();
  Answers.pop_front();
  return r;
}

bool TScriptedPresenter::OpenFiles(TOpenDialog& dialog) {
  OpenTitles.push_back(dialog.Title);
  if (OpenAnswers.empty()) return false;
  dialog.Files = OpenAnswers.front();
  OpenAnswers.pop_front();
  return !dialog.Files.empty();
}

TModalResult TScriptedPresenter::ShowModal(TForm& form) {
  return OnShowModal ? OnShowModal(form) : mrCancel;
}

bool TScriptedPresenter::ChooseFolder(const std::string& title, std::string& folder) {
  FolderTitles.push_back(title);
  if (FolderAnswers.empty()) return false;
  folder = FolderAnswers.front();
  FolderAnswers.pop_front();
  return true;
}

bool TPresenter::ChooseFolder(const std::string&, std::string&) {
  return false;
}

void TPresenter::WaitForEvents(int ms) {
  ::poll(nullptr, 0, ms);
}

std::unique_ptr<TPresenter> MakeDefaultPresenter() {
  if (::isatty(STDERR_FILENO)) {
    int fd = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return std::make_unique<TTerminalPresenter>(fd, stderr, true);
  }
  return std::make_unique<TQuietPresenter>(stderr);
}

}  // namespace forms
