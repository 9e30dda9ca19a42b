// A form's top-level window in the window directory: registered when the
// form is first shown, kept up to date with its caption and visibility,
// removed with the form.
#include <cstdio>

#include "platform/forms/Forms.h"
#include "platform/rtl/SysUtils.h"

namespace forms {

namespace {

uint32_t StyleOf(const TForm& f) {
  uint32_t style = 0;
  if (f.BorderStyle != bsNone)
    style |= os::WS_CAPTION;
  else
    style |= os::WS_POPUP;
  if (f.BorderStyle == bsSizeable || f.BorderStyle == bsSizeToolWin) style |= os::WS_THICKFRAME;
  if (f.BorderIcons & biSystemMenu) style |= os::WS_SYSMENU;
  // Dialogs and tool windows carry no minimise or maximise box.
  bool boxes = f.BorderStyle != bsDialog && f.BorderStyle != bsToolWindow && f.BorderStyle != bsSizeToolWin;
  if (boxes && (f.BorderIcons & biMinimize)) style |= os::WS_MINIMIZEBOX;
  if (boxes && (f.BorderIcons & biMaximize)) style |= os::WS_MAXIMIZEBOX;
  if (!f.Enabled()) style |= os::WS_DISABLED;
  return style;
}

bool IsCloseCommand(uint32_t msg, uint64_t wparam) {
  return msg == os::WM_CLOSE || (msg == os::WM_SYSCOMMAND && wparam == os::SC_CLOSE);
}

}  // namespace

void TForm::SyncWindow() {
  if (!handle_ && !Visible()) return;
  os::TWindowRecord r;
  r.Handle = handle_;
  r.Title = Caption();
  r.ClassName = "T" + (Name.empty() ? std::string("Form") : Name);
  r.Visible = Visible();
  r.Style = StyleOf(*this);
  if (BorderStyle == bsToolWindow || BorderStyle == bsSizeToolWin) r.ExStyle |= os::WS_EX_TOOLWINDOW;
  // Forms other than the main form belong to it, as dialogs do.
  if (Application && Application->MainForm() && Application->MainForm() != this)
    r.Owner = Application->MainForm()->Handle();
  try {
    auto& dir = os::TWindowDirectory::Default();
    if (handle_) {
      dir.UpdateWindow(r);
      return;
    }
    std::weak_ptr<bool> alive = alive_;
    handle_ = dir.CreateWindow(r, [this, alive](uint32_t msg, uint64_t wparam, os::TReply reply) {
      if (!IsCloseCommand(msg, wparam)) return;
      // The close runs from the message queue, as a click on the close box
      // would; the sender is answered once OnClose has run.
      auto close = [this, alive, reply]() mutable {
        if (alive.lock()) {
          closeReplies_.push_back(reply);
          Close();
        } else {
          reply.Done();
        }
      };
      if (Application)
        Application->PostMessage(close);
      else
        close();
    });
  } catch (const rtl::Exception& e) {
    // Without the directory the form still works; others just cannot find it.
    static bool told = false;
    if (!told) std::fprintf(stderr, "%s\n", e.what());
    told = true;
  }
}

void TForm::AnswerCloseCommands() {
  std::vector<os::TReply> replies;
  replies.swap(closeReplies_);
  for (auto& r : replies) r.Done();
}

void TForm::ReleaseWindow() {
  alive_.reset();
  if (handle_) os::TWindowDirectory::Default().DestroyWindow(handle_);
  handle_ = 0;
}

}  // namespace forms
