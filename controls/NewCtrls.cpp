#include "controls/NewCtrls.h"

#include <cstdio>
#include <exception>

#include "platform/forms/Forms.h"

namespace controls {

namespace {

constexpr const char* kNoWindowMessage = "Invalidate Window Handle in FileDrop";

unsigned ShellFlags(const TFileOpFlags& o) {
  // fofWantMappingHandle passes no flag: no name mappings are kept.
  struct {
    TFileOpFlag flag;
    unsigned shell;
  } const table[] = {
      {fofMultiDestFiles, os::FOF_MULTIDESTFILES},
      {fofConfirmMouse, os::FOF_CONFIRMMOUSE},
      {fofSilent, os::FOF_SILENT},
      {fofRenameOnCollision, os::FOF_RENAMEONCOLLISION},
      {fofNoConfirmation, os::FOF_NOCONFIRMATION},
      {fofAllowUndo, os::FOF_ALLOWUNDO},
      {fofFilesOnly, os::FOF_FILESONLY},
      {fofSimpleProgress, os::FOF_SIMPLEPROGRESS},
      {fofNoConfirmMkdir, os::FOF_NOCONFIRMMKDIR},
      {fofNoErrorUI, os::FOF_NOERRORUI},
  };
  unsigned flags = 0;
  for (const auto& e : table)
    if (o.Contains(e.flag)) flags |= e.shell;
  return flags;
}

}  // namespace

TFileOperation::TFileOperation(rtl::TComponent* owner)
    : rtl::TComponent(owner),
      from_(std::make_unique<rtl::TStringList>()),
      to_(std::make_unique<rtl::TStringList>()) {}

TFileOperation::~TFileOperation() = default;

std::string TFileOperation::JoinList(const rtl::TStrings& list) {
  std::string s;
  for (int i = 0; i < list.Count(); ++i) {
    s += list.Strings(i);
    s += '\0';
  }
  s += '\0';
  return s;
}

bool TFileOperation::RunOperation(unsigned func, const std::string& from, const std::string& to) {
  os::SHFILEOPSTRUCT op;
  op.hwnd = 0;  // no dialogs to own
  op.wFunc = func;
  op.pFrom = from;
  op.pTo = to;
  op.fFlags = ShellFlags(Options);
  op.fAnyOperationsAborted = false;
  op.hNameMappings = nullptr;
  if (Options.Contains(fofSimpleProgress)) op.lpszProgressTitle = Title;
  op.TrashFolder = TrashFolder;
  error_ = os::SHFileOperation(op);
  results_ = std::move(op.Results);
  return op.fAnyOperationsAborted;
}

bool TFileOperation::DeleteFiles() {
  return RunOperation(os::FO_DELETE, JoinList(*from_), std::string());
}

TFileDrop::TFileDrop(rtl::TComponent* owner) : rtl::TComponent(owner) {}

TFileDrop::~TFileDrop() {
  Unhook();
}

void TFileDrop::SetAccept(bool value) {
  if (value == accept_) return;
  accept_ = value;
  if (hooked_) os::DragAcceptFiles(hooked_, value);
}

void TFileDrop::SetControl(forms::TWinControl* control) {
  Unhook();
  control_ = control;
  Hook();
}

void TFileDrop::Loaded() {
  if (!control_) SetControl(control_);
}

void TFileDrop::Notification(rtl::TComponent* component, TOperation operation) {
  if (operation == opRemove && component != nullptr && component == static_cast<rtl::TComponent*>(control_)) {
    // The window goes: drop the hook without touching it.
    if (hooked_ == static_cast<os::TDropWindow>(control_)) {
      os::DragAcceptFiles(hooked_, false);
      os::SetDropProc(hooked_, previous_);
      previous_ = nullptr;
      hooked_ = nullptr;
    }
    control_ = nullptr;
    accept_ = false;
  }
}

os::TDropWindow TFileDrop::Window() const {
  if (control_) return static_cast<const forms::TWinControl*>(control_);
  if (auto* form = dynamic_cast<forms::TForm*>(Owner())) return static_cast<const forms::TWinControl*>(form);
  return nullptr;
}

void TFileDrop::Hook() {
  os::TDropWindow w = Window();
  if (!w) throw rtl::Exception(kNoWindowMessage);
  hooked_ = w;
  previous_ = os::SetDropProc(w, Thunk{this});
  os::DragAcceptFiles(w, accept_);
}

void TFileDrop::Unhook() {
  if (hooked_) {
    // Only when our procedure is still the window's: a later hook on the
    // same window keeps its own.
    os::TDropProc current = os::DropProcOf(hooked_);
    const Thunk* t = current.target<Thunk>();
    if (t && t->self == this) {
      os::SetDropProc(hooked_, previous_);
      if (!previous_) os::DragAcceptFiles(hooked_, false);
    }
  }
  previous_ = nullptr;
  hooked_ = nullptr;
}

void TFileDrop::WindowProc(const os::TDropFiles& drop) {
  try {
    DoDrop(drop);
  } catch (const std::exception& e) {
    if (OnHandlerError)
      OnHandlerError(e);
    else if (forms::Application)
      forms::Application->HandleException(e);
    else
      std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "unknown error in a drop handler\n");
  }
}

void TFileDrop::DoDrop(const os::TDropFiles& drop) {
  if (!OnFileDrop) return;
  rtl::TStringList files;
  for (const auto& f : drop.Files) files.Add(f);  // whole names, never cut
  OnFileDrop(this, files.Count(), files, drop.X, drop.Y);
}

}  // namespace controls
