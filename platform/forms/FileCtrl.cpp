#include "platform/forms/FileCtrl.h"

namespace forms {

void TDriveComboBox::SetDrive(char drive) {
  if (DriveRoot(drive).empty() || drive == drive_) return;
  drive_ = drive;
  Invalidate();
  if (OnChange) OnChange(this);
}

std::string TDriveComboBox::DriveRoot(char drive) {
  return drive == kRootDrive ? std::string(1, kRootDrive) : std::string();
}

}  // namespace forms
