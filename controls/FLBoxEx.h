// The converter's folder view: a list of one folder's files and sub-folders
// in columns (icon, name, extension, size, time stamp, attributes), filtered
// by an extension mask and sorted, and a descendant that shows the folder's
// path as indented rows above the contents and enters a folder on a double
// click.
//
// Folders are absolute paths with "/" as the separator and no trailing "/"
// except for the root "/". The list reads the folder only when the folder
// or the mask changes, or on Rescan; everything else refills the rows from
// the entries already read.
//
// Ownership: TFileInfoList owns its entries; a list box owns its
// TFileInfoList, and each row's object is a borrowed pointer to an entry
// (path rows carry none). FileEdit is borrowed: the form reports its removal
// through Notification.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "controls/NewCtrls.h"
#include "platform/forms/StdCtrls.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/SysUtils.h"

namespace controls {

enum TSortOrder { soName, soExt, soSize, soTime };
enum TSortDirection { sdUpword, sdDownword };

// One file or folder as the folder search found it.
class TFileInfo : public rtl::TObject {
 public:
  bool IsFolder = false;
  std::string Name;         // with its extension
  std::string Ext;          // with its "."; empty for folders
  int64_t Size = 0;         // bytes; 0 for folders
  rtl::TDateTime Time = 0;  // last write, local time
  int Attributes = 0;       // rtl::fa* bits
};

// The entries of one folder, filtered by the mask and sorted. Entries with
// equal keys are ordered by name, so that an order, and its reverse, is the
// same at every reading.
class TFileInfoList {
 public:
  TFileInfoList();
  ~TFileInfoList();
  TFileInfoList(const TFileInfoList&) = delete;
  TFileInfoList& operator=(const TFileInfoList&) = delete;

  const std::string& Folder() const { return folder_; }
  // Reads the folder when the path differs from the current one.
  void SetFolder(const std::string& folder);
  const std::string& Mask() const { return mask_; }
  // "*.pdf;*.tif": files whose extension (any letter case) is one of the
  // pieces'; "*.*" or "*" as a piece passes every file. Folders always pass.
  void SetMask(const std::string& mask);
  TSortOrder SortOrder() const { return sortOrder_; }
  void SetSortOrder(TSortOrder order);
  // The mask's extensions, each with its "."; empty when every file passes.
  const std::vector<std::string>& Extensions() const { return extensions_; }

  int Count() const { return static_cast<int>(entries_.size()); }
  // Borrowed; raises EListError outside the entries.
  TFileInfo* Items(int index) const;
  void Clear();
  // Reads the folder again; a folder that cannot be read gives no entries.
  void Scan();
  void SortEntries();

 private:
  bool Passes(const std::string& ext) const;

  std::vector<std::unique_ptr<TFileInfo>> entries_;
  std::string folder_;
  std::string mask_ = "*.*";
  std::vector<std::string> extensions_;
  bool allFiles_ = true;
  TSortOrder sortOrder_ = soName;
};

// The rows are drawn as the forms' list box describes them.
using forms::TDrawnCell;
using forms::TDrawnRow;
using forms::TIconKind;
using enum forms::TIconKind;
using forms::TAlignment;
using enum forms::TAlignment;

class TFileListBoxEx : public forms::TCustomListBox {
 public:
  // The icon and the gap before the first column.
  static constexpr int kIconSpace = 18;
  // Room kept at the right of the size and path-row "<DIR>" columns.
  static constexpr int kSizeGap = 15;

  explicit TFileListBoxEx(rtl::TComponent* owner);
  ~TFileListBoxEx() override;

  const std::string& Directory() const { return directory_; }
  // Shows the folder (made absolute, without a trailing "/"); nothing when
  // it is the folder shown already, or empty.
  void SetDirectory(const std::string& path);
  char DriveLetter() const { return drive_; }
  // The root of the drive, when the drive differs from the current one.
  void SetDrive(char drive);

  std::string Mask() const { return list_.Mask(); }
  void SetMask(const std::string& mask);
  TSortOrder SortOrder() const { return list_.SortOrder(); }
  void SetSortOrder(TSortOrder order);
  TSortDirection SortDirection() const { return sortDirection_; }
  void SetSortDirection(TSortDirection value);
  bool ShowDirectory() const { return showDirectory_; }
  void SetShowDirectory(bool value);
  bool ShowHiddenSysFile() const { return showHiddenSysFile_; }
  void SetShowHiddenSysFile(bool value);
  bool SeparateExt() const { return separateExt_; }
  void SetSeparateExt(bool value);
  // Borrowed; a click writes the selected path into it.
  forms::TEdit* FileEdit() const { return fileEdit_; }
  void SetFileEdit(forms::TEdit* edit) { fileEdit_ = edit; }

  // The entries behind the rows.
  const TFileInfoList& FileInfoList() const { return list_; }

  // '' when no row is current, else the current row's full path.
  virtual std::string GetSelectedPath();
  virtual std::string GetItemPath(int index);
  // Makes the first row named as path's file-name part the current one.
  virtual void SelectFile(const std::string& path);
  // Reads the folder again and refills the rows.
  void Rescan();
  // Refills the rows from the entries already read.
  virtual void Reload();
  virtual void FillItems();
  virtual bool IsDirectory(int index);
  virtual void GetItemInfo(int index, std::string& path, int64_t& size, rtl::TDateTime& time,
                           int& attributes);
  // The row as it is drawn, over the list's width.
  TDrawnRow DrawItem(int index) override;

  // After the form has set the properties.
  virtual void Loaded();
  virtual void Notification(rtl::TComponent* component, TOperation operation);
  void Click() override;

  int NameWidth = 100;
  int ExtWidth = 50;
  int SizeWidth = 80;
  int TimeWidth = 150;
  int AttrWidth = 30;
  forms::TNotifyEvent OnChange;

 protected:
  // A content row with the row's left edge at rowLeft.
  TDrawnRow DrawRow(int index, int rowLeft);
  std::string Shorten(const std::string& text, int width);
  TFileInfo* Entry(int index) const;

 private:
  TFileInfoList list_;
  std::string directory_;
  char drive_ = 0;
  TSortDirection sortDirection_ = sdUpword;
  bool showDirectory_ = true;
  bool showHiddenSysFile_ = false;
  bool separateExt_ = false;
  forms::TEdit* fileEdit_ = nullptr;
};

// The folder's path as rows above its contents: row 0 is the root "/", each
// further row one folder of the path, indented by Offset pixels per level.
class TDirFileListBox : public TFileListBoxEx {
 public:
  explicit TDirFileListBox(rtl::TComponent* owner);
  ~TDirFileListBox() override;

  // The index of the last path row (0 at the root).
  int PathDepth() const { return pathDepth_; }

  std::string GetSelectedPath() override;
  std::string GetItemPath(int index) override;
  void SelectFile(const std::string& path) override;
  void Reload() override;
  bool IsDirectory(int index) override;
  void GetItemInfo(int index, std::string& path, int64_t& size, rtl::TDateTime& time,
                   int& attributes) override;
  TDrawnRow DrawItem(int index) override;
  // Enters the current row's folder; without a current row nothing moves.
  void DblClick() override;

  int Offset = 5;

 private:
  int pathDepth_ = 0;
};

// Text routines of the rows.
// "yy/mm/dd hh:nn:ss".
std::string FormatFileTime(rtl::TDateTime time);
// "S", "H", "R", "A" for system, hidden, read-only and archive, in that order.
std::string AttributeLetters(int attributes);
// text when it fits width pixels; else its longest prefix (whole characters,
// at least one) that fits with ".." after it, followed by "..".
std::string ShortenText(graphics::TCanvas& canvas, const std::string& text, int width);
// folder + name, with one "/" between them.
std::string JoinPath(const std::string& folder, const std::string& name);

}  // namespace controls
