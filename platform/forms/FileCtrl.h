// The drive box. Linux has one tree of folders under one root, so the box
// lists a single drive, "/", whose root folder is "/" itself.
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"

namespace forms {

class TDriveComboBox : public TWinControl {
 public:
  // The one drive there is.
  static constexpr char kRootDrive = '/';

  explicit TDriveComboBox(rtl::TComponent* owner) : TWinControl(owner) {}

  // The drives as the box lists them.
  std::vector<std::string> Items() const { return {std::string(1, kRootDrive)}; }
  char Drive() const { return drive_; }
  // A letter the box does not list is ignored; a change of the drive fires
  // OnChange.
  void SetDrive(char drive);
  // The root folder of a drive; empty for a letter that names no drive.
  static std::string DriveRoot(char drive);

  TNotifyEvent OnChange;

 private:
  char drive_ = kRootDrive;
};

}  // namespace forms
