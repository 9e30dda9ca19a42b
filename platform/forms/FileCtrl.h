// The drive box and the file list box. Linux has one tree of folders under
// one root, so the drive box lists a single drive, "/", whose root folder is
// "/" itself.
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"
#include "platform/forms/StdCtrls.h"
#include "platform/rtl/Classes.h"

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

// The files of one folder that match a mask, sorted by name as a sorted
// list box sorts (ASCII letters without case). Only plain files are listed:
// no folders, and no hidden or system entries (a name starting with "." is
// hidden here). The list is read again when the folder or the mask changes,
// or on Update.
class TFileListBox : public TCustomListBox {
 public:
  explicit TFileListBox(rtl::TComponent* owner) : TCustomListBox(owner) {}

  // The folder, without a trailing "/" unless it is the root. A folder
  // that cannot be listed gives an empty list.
  const std::string& Directory() const { return directory_; }
  void SetDirectory(const std::string& folder);
  // Shell wildcards "*" and "?", ASCII letters without case; "*.*" is every
  // name.
  const std::string& Mask() const { return mask_; }
  void SetMask(const std::string& mask);
  // Reads the folder again; the rows are the file names only, without the
  // folder.
  void Update();

 private:
  std::string directory_;
  std::string mask_ = "*.*";
};

}  // namespace forms
