#include "platform/forms/FileCtrl.h"

#include <algorithm>
#include <vector>

#include "platform/rtl/SysUtils.h"

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

void TFileListBox::SetDirectory(const std::string& folder) {
  directory_ = folder;
  while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
  Update();
}

void TFileListBox::SetMask(const std::string& mask) {
  mask_ = mask;
  Update();
}

void TFileListBox::Update() {
  Clear();
  if (directory_.empty()) return;
  std::vector<std::string> names;
  rtl::TSearchRec rec;
  const std::string pattern = rtl::IncludeTrailingPathDelimiter(directory_) + mask_;
  // Attribute 0: plain files only; folders, hidden and system entries stay out.
  if (rtl::FindFirst(pattern, 0, rec) == 0) {
    do names.push_back(rec.Name);
    while (rtl::FindNext(rec) == 0);
  }
  rtl::FindClose(rec);
  // Names equal but for case keep their byte order, so the order is total.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    int c = rtl::AnsiCompareText(a, b);
    return c != 0 ? c < 0 : a < b;
  });
  Items().BeginUpdate();
  for (const auto& n : names) Items().Add(n);
  Items().EndUpdate();
}

}  // namespace forms
