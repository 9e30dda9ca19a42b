// Small desktop controls of the converter's window: the shell file
// operation component and the file drop target.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/DragDrop.h"
#include "platform/os/ShellApi.h"
#include "platform/rtl/Classes.h"

namespace forms {
class TWinControl;
}

namespace controls {

enum TFileOpFlag : uint8_t {
  fofMultiDestFiles,
  fofConfirmMouse,
  fofSilent,
  fofRenameOnCollision,
  fofNoConfirmation,
  fofWantMappingHandle,
  fofAllowUndo,
  fofFilesOnly,
  fofSimpleProgress,
  fofNoConfirmMkdir,
  fofNoErrorUI,
};

class TFileOpFlags {
 public:
  constexpr TFileOpFlags() = default;
  constexpr TFileOpFlags(std::initializer_list<TFileOpFlag> items) {
    for (auto f : items) Include(f);
  }
  constexpr bool Contains(TFileOpFlag f) const { return (bits_ >> f) & 1u; }
  constexpr void Include(TFileOpFlag f) { bits_ |= static_cast<uint16_t>(1u << f); }
  constexpr void Exclude(TFileOpFlag f) { bits_ &= static_cast<uint16_t>(~(1u << f)); }
  constexpr bool operator==(const TFileOpFlags&) const = default;

 private:
  uint16_t bits_ = 0;
};

// One shell file operation from two name lists and a set of options. The
// component owns both lists; the setters copy the given list. After every
// run ErrorCode() holds the shell's result (0, or the errno of the first
// failure) and Results() what happened to each file.
class TFileOperation : public rtl::TComponent {
 public:
  explicit TFileOperation(rtl::TComponent* owner = nullptr);
  ~TFileOperation() override;

  rtl::TStrings& FromFiles() { return *from_; }
  void SetFromFiles(const rtl::TStrings& files) { from_->Assign(files); }
  rtl::TStrings& ToFiles() { return *to_; }
  void SetToFiles(const rtl::TStrings& files) { to_->Assign(files); }

  // One shell operation; returns the shell's any-operations-aborted flag,
  // which is set when any file was not done as asked.
  virtual bool RunOperation(unsigned func, const std::string& from, const std::string& to);
  // RunOperation(FO_DELETE, FromFiles joined, empty).
  bool DeleteFiles();

  int ErrorCode() const { return error_; }
  const std::vector<os::TFileOpResult>& Results() const { return results_; }

  // A list as the shell takes it: each line followed by a NUL, and one
  // more NUL after the last.
  static std::string JoinList(const rtl::TStrings& list);

  TFileOpFlags Options{fofAllowUndo, fofFilesOnly};
  std::string Title;  // progress title, with fofSimpleProgress only
  // The Trash folder for fofAllowUndo; empty: the user's home trash.
  std::filesystem::path TrashFolder;

 private:
  std::unique_ptr<rtl::TStringList> from_;
  std::unique_ptr<rtl::TStringList> to_;
  int error_ = 0;
  std::vector<os::TFileOpResult> results_;
};

enum TOperation { opInsert, opRemove };

// Files, Num and the drop point of one drop; Files lives for the call only.
using TFileDropEvent = std::function<void(rtl::TObject* Sender, int Num, rtl::TStrings& Files, int X, int Y)>;

// Makes one window take files dropped on it and reports each drop through
// OnFileDrop. The window is Control, or the owner form when Control is nil.
// The target borrows the window; it installs its drop procedure while
// hooked and puts the previous one back when unhooked or freed.
class TFileDrop : public rtl::TComponent {
 public:
  explicit TFileDrop(rtl::TComponent* owner = nullptr);
  ~TFileDrop() override;

  bool Accept() const { return accept_; }
  void SetAccept(bool value);
  forms::TWinControl* Control() const { return control_; }
  void SetControl(forms::TWinControl* control);
  bool Hooked() const { return hooked_ != nullptr; }

  // After the form has set the properties: hooks the owner form when no
  // control was given.
  virtual void Loaded();
  // The form reports a component that goes away.
  virtual void Notification(rtl::TComponent* component, TOperation operation);

  TFileDropEvent OnFileDrop;
  // The report of an error raised by OnFileDrop; unassigned: the
  // application's standard report (stderr when no application lives).
  std::function<void(const std::exception& e)> OnHandlerError;

 protected:
  virtual void DoDrop(const os::TDropFiles& drop);
  virtual void Hook();
  virtual void Unhook();

 private:
  struct Thunk {
    TFileDrop* self;
    void operator()(const os::TDropFiles& drop) const { self->WindowProc(drop); }
  };
  void WindowProc(const os::TDropFiles& drop);
  os::TDropWindow Window() const;

  bool accept_ = true;
  forms::TWinControl* control_ = nullptr;  // borrowed
  os::TDropWindow hooked_ = nullptr;
  os::TDropProc previous_;
};

}  // namespace controls
