#include "controls/FLBoxEx.h"

#include <algorithm>

#include "platform/forms/FileCtrl.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/DateTime.h"

namespace controls {

namespace {

constexpr const char* kDirText = "<DIR>";
constexpr const char* kEllipsis = "..";

template <typename T>
int Compare3(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Names first by their letters regardless of case, then byte by byte, so
// that names differing only in case (both may exist here) keep one order.
int CompareNames(const TFileInfo& a, const TFileInfo& b) {
  if (int c = rtl::CompareText(a.Name, b.Name)) return c;
  return rtl::CompareStr(a.Name, b.Name);
}

}  // namespace

// ---- entries of a folder --------------------------------------------------------

TFileInfoList::TFileInfoList() = default;
TFileInfoList::~TFileInfoList() = default;

void TFileInfoList::SetFolder(const std::string& folder) {
  if (folder == folder_) return;
  folder_ = folder;
  Scan();
  SortEntries();
}

void TFileInfoList::SetMask(const std::string& mask) {
  if (mask == mask_) return;
  mask_ = mask;
  extensions_.clear();
  allFiles_ = false;
  size_t start = 0;
  while (start <= mask.size()) {
    size_t end = mask.find(';', start);
    if (end == std::string::npos) end = mask.size();
    // Blanks after a ";" are the way people write lists of masks.
    std::string piece = rtl::Trim(mask.substr(start, end - start));
    if (piece == "*.*" || piece == "*") {
      allFiles_ = true;
    } else if (!piece.empty()) {
      extensions_.push_back(piece.substr(1));  // "*.pdf" gives ".pdf"
    }
    start = end + 1;
  }
  if (allFiles_) extensions_.clear();
  Scan();
  SortEntries();
}

void TFileInfoList::SetSortOrder(TSortOrder order) {
  if (order == sortOrder_) return;
  sortOrder_ = order;
  SortEntries();
}

TFileInfo* TFileInfoList::Items(int index) const {
  if (index < 0 || index >= Count()) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  return entries_[static_cast<size_t>(index)].get();
}

void TFileInfoList::Clear() {
  entries_.clear();
}

bool TFileInfoList::Passes(const std::string& ext) const {
  if (allFiles_) return true;
  return std::any_of(extensions_.begin(), extensions_.end(),
                     [&](const std::string& e) { return rtl::AnsiSameText(e, ext); });
}

void TFileInfoList::Scan() {
  Clear();
  if (folder_.empty()) return;
  rtl::TSearchRec rec;
  if (rtl::FindFirst(JoinPath(folder_, "*.*"), rtl::faAnyFile, rec) != 0) return;
  do {
    if (rec.Name == "." || rec.Name == "..") continue;
    auto e = std::make_unique<TFileInfo>();
    e->Name = rec.Name;
    e->Time = rec.Time;
    e->Attributes = rec.Attr;
    if (rec.Attr & rtl::faDirectory) {
      e->IsFolder = true;
    } else {
      e->Ext = rtl::ExtractFileExt(rec.Name);
      if (!Passes(e->Ext)) continue;
      e->Size = rec.Size;
    }
    entries_.push_back(std::move(e));
  } while (rtl::FindNext(rec) == 0);
  rtl::FindClose(rec);
}

void TFileInfoList::SortEntries() {
  auto key = [this](const TFileInfo& a, const TFileInfo& b) {
    switch (sortOrder_) {
      case soExt:
        return rtl::CompareText(a.Ext, b.Ext);
      case soSize:
        return Compare3(a.Size, b.Size);
      case soTime:
        return Compare3(a.Time, b.Time);
      case soName:
        break;
    }
    return 0;
  };
  std::stable_sort(entries_.begin(), entries_.end(),
                   [&](const std::unique_ptr<TFileInfo>& a, const std::unique_ptr<TFileInfo>& b) {
                     int c = key(*a, *b);
                     if (c == 0) c = CompareNames(*a, *b);
                     return c < 0;
                   });
}

// ---- the list box ------------------------------------------------------------------

TFileListBoxEx::TFileListBoxEx(rtl::TComponent* owner) : forms::TCustomListBox(owner) {
  SetBounds(Left, Top, 150, 300);
  Style = forms::lbOwnerDrawFixed;
  ItemHeight = 18;
  directory_ = rtl::ExcludeTrailingPathDelimiter(rtl::GetCurrentDir());
  drive_ = directory_.empty() ? 0 : directory_[0];
  list_.SetFolder(directory_);
}

TFileListBoxEx::~TFileListBoxEx() = default;

void TFileListBoxEx::SetDirectory(const std::string& path) {
  if (path.empty()) return;
  std::string dir = rtl::ExcludeTrailingPathDelimiter(rtl::ExpandFileName(path));
  if (dir == directory_) return;
  directory_ = dir;
  drive_ = directory_[0];
  list_.SetFolder(directory_);
  Reload();
}

void TFileListBoxEx::SetDrive(char drive) {
  if (drive == drive_) return;
  std::string root = forms::TDriveComboBox::DriveRoot(drive);
  if (!root.empty()) SetDirectory(root);
}

void TFileListBoxEx::SetMask(const std::string& mask) {
  list_.SetMask(mask);
  Reload();
}

void TFileListBoxEx::SetSortOrder(TSortOrder order) {
  list_.SetSortOrder(order);
  Reload();
}

void TFileListBoxEx::SetSortDirection(TSortDirection value) {
  sortDirection_ = value;
  Reload();
}

void TFileListBoxEx::SetShowDirectory(bool value) {
  showDirectory_ = value;
  Reload();
}

void TFileListBoxEx::SetShowHiddenSysFile(bool value) {
  showHiddenSysFile_ = value;
  Reload();
}

void TFileListBoxEx::SetSeparateExt(bool value) {
  separateExt_ = value;
  Reload();
}

TFileInfo* TFileListBoxEx::Entry(int index) const {
  auto* e = dynamic_cast<TFileInfo*>(Items().Objects(index));
  if (!e) throw rtl::EListError(rtl::Format(rtl::SListIndexError, {index}));
  return e;
}

std::string TFileListBoxEx::GetSelectedPath() {
  if (ItemIndex() < 0) return {};
  return GetItemPath(ItemIndex());
}

std::string TFileListBoxEx::GetItemPath(int index) {
  return JoinPath(directory_, Entry(index)->Name);
}

void TFileListBoxEx::SelectFile(const std::string& path) {
  const std::string name = rtl::ExtractFileName(path);
  for (int i = 0; i < Count(); ++i) {
    auto* e = dynamic_cast<TFileInfo*>(Items().Objects(i));
    if (e && e->Name == name) {
      SetItemIndex(i);
      return;
    }
  }
}

void TFileListBoxEx::Rescan() {
  list_.Scan();
  list_.SortEntries();
  Reload();
}

void TFileListBoxEx::Reload() {
  Clear();
  FillItems();
}

void TFileListBoxEx::FillItems() {
  Items().BeginUpdate();
  auto walk = [&](bool folders) {
    const int n = list_.Count();
    for (int k = 0; k < n; ++k) {
      TFileInfo* e = list_.Items(sortDirection_ == sdUpword ? k : n - 1 - k);
      if (e->IsFolder != folders) continue;
      if (!showHiddenSysFile_ && (e->Attributes & (rtl::faHidden | rtl::faSysFile))) continue;
      Items().AddObject(e->Name, e);
    }
  };
  if (showDirectory_) walk(true);
  walk(false);
  Items().EndUpdate();
  if (OnChange) OnChange(this);
}

bool TFileListBoxEx::IsDirectory(int index) {
  return Entry(index)->IsFolder;
}

void TFileListBoxEx::GetItemInfo(int index, std::string& path, int64_t& size, rtl::TDateTime& time,
                                 int& attributes) {
  path = GetItemPath(index);
  const TFileInfo* e = Entry(index);
  size = e->Size;
  time = e->Time;
  attributes = e->Attributes;
}

void TFileListBoxEx::Loaded() {
  Reload();
}

void TFileListBoxEx::Notification(rtl::TComponent* component, TOperation operation) {
  if (operation == opRemove && component == fileEdit_) fileEdit_ = nullptr;
}

void TFileListBoxEx::Click() {
  if (fileEdit_) fileEdit_->Text = GetSelectedPath();
  forms::TCustomListBox::Click();
}

std::string TFileListBoxEx::Shorten(const std::string& text, int width) {
  graphics::TCanvas& canvas = graphics::ScreenCanvas();
  canvas.SetFont(Font);
  return ShortenText(canvas, text, width);
}

TDrawnRow TFileListBoxEx::DrawItem(int index) {
  return DrawRow(index, 0);
}

TDrawnRow TFileListBoxEx::DrawRow(int index, int rowLeft) {
  const TFileInfo* e = Entry(index);
  TDrawnRow row;
  row.Selected = Selected(index);
  row.Icon = e->IsFolder ? ikFolder : ikFile;
  row.IconLeft = rowLeft + 2;
  const int right = Width;
  int x = row.IconLeft + kIconSpace;

  std::string name = e->Name;
  if (separateExt_ && !e->Ext.empty()) name.resize(name.size() - e->Ext.size());
  row.Cells.push_back(
      {Shorten(name, e->IsFolder ? NameWidth + ExtWidth : NameWidth), x, right, taLeftJustify});
  x += NameWidth;
  if (separateExt_) {
    row.Cells.push_back({Shorten(e->Ext, ExtWidth), x, right, taLeftJustify});
    x += ExtWidth;
  }
  row.Cells.push_back({e->IsFolder ? std::string(kDirText) : rtl::IntToStr(e->Size), x,
                       x + SizeWidth - kSizeGap, taRightJustify});
  x += SizeWidth;
  row.Cells.push_back({FormatFileTime(e->Time), x, right, taLeftJustify});
  x += TimeWidth;
  row.Cells.push_back({AttributeLetters(e->Attributes), x, x + AttrWidth, taRightJustify});
  return row;
}

// ---- with path rows ------------------------------------------------------------------

TDirFileListBox::TDirFileListBox(rtl::TComponent* owner) : TFileListBoxEx(owner) {}
TDirFileListBox::~TDirFileListBox() = default;

void TDirFileListBox::Reload() {
  Clear();
  pathDepth_ = 0;
  const std::string& dir = Directory();
  Items().BeginUpdate();
  Items().Add(std::string(1, rtl::PathDelim));
  size_t start = 1;
  while (start < dir.size()) {
    size_t end = dir.find(rtl::PathDelim, start);
    if (end == std::string::npos) end = dir.size();
    if (end > start) {
      Items().Add(dir.substr(start, end - start));
      ++pathDepth_;
    }
    start = end + 1;
  }
  Items().EndUpdate();
  FillItems();
}

bool TDirFileListBox::IsDirectory(int index) {
  if (index <= pathDepth_) return true;
  return TFileListBoxEx::IsDirectory(index);
}

std::string TDirFileListBox::GetItemPath(int index) {
  if (index > pathDepth_) return TFileListBoxEx::GetItemPath(index);
  std::string path = Items()[0];
  if (index == 0) return path;
  for (int k = 1; k <= index; ++k) path += Items()[k] + rtl::PathDelim;
  path.pop_back();
  return path;
}

std::string TDirFileListBox::GetSelectedPath() {
  if (ItemIndex() < 0) return {};
  return GetItemPath(ItemIndex());
}

void TDirFileListBox::SelectFile(const std::string& path) {
  const std::string name = rtl::ExtractFileName(path);
  for (int i = 0; i < Count(); ++i) {
    bool match = i <= pathDepth_ ? Items()[i] == name : Entry(i)->Name == name;
    if (match) {
      SetItemIndex(i);
      return;
    }
  }
}

void TDirFileListBox::GetItemInfo(int index, std::string& path, int64_t& size, rtl::TDateTime& time,
                                  int& attributes) {
  if (index > pathDepth_) return TFileListBoxEx::GetItemInfo(index, path, size, time, attributes);
  path = GetItemPath(index);
  size = 0;
  time = 0;
  attributes = 0;
}

TDrawnRow TDirFileListBox::DrawItem(int index) {
  const int contentLeft = (pathDepth_ + 1) * Offset;
  if (index > pathDepth_) return DrawRow(index, contentLeft);
  TDrawnRow row;
  row.Selected = Selected(index);
  row.Icon = ikOpenFolder;
  row.IconLeft = index * Offset + 2;
  row.Cells.push_back({Shorten(Items()[index], NameWidth), row.IconLeft + kIconSpace, Width, taLeftJustify});
  const int dirLeft = contentLeft + 2 + kIconSpace;
  const int dirRight = dirLeft + NameWidth + SizeWidth + (SeparateExt() ? ExtWidth : 0) - kSizeGap;
  row.Cells.push_back({kDirText, dirLeft, dirRight, taRightJustify});
  return row;
}

void TDirFileListBox::DblClick() {
  const int i = ItemIndex();
  if (i >= 0 && IsDirectory(i)) SetDirectory(GetSelectedPath());
  forms::TCustomListBox::DblClick();
}

// ---- text routines -----------------------------------------------------------------

std::string FormatFileTime(rtl::TDateTime time) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  rtl::DecodeDate(time, y, mo, d);
  rtl::DecodeTime(time, h, mi, s, ms);
  return rtl::Format("%.2d/%.2d/%.2d %.2d:%.2d:%.2d", {y % 100, mo, d, h, mi, s});
}

std::string AttributeLetters(int attributes) {
  std::string s;
  if (attributes & rtl::faSysFile) s += 'S';
  if (attributes & rtl::faHidden) s += 'H';
  if (attributes & rtl::faReadOnly) s += 'R';
  if (attributes & rtl::faArchive) s += 'A';
  return s;
}

std::string ShortenText(graphics::TCanvas& canvas, const std::string& text, int width) {
  if (text.empty() || canvas.TextWidth(text) <= width) return text;
  // Cut only between characters: half a double-byte character would show
  // as another one.
  size_t keep = rtl::CharByteLength(text, 0);
  for (size_t k = keep; k < text.size();) {
    size_t next = k + rtl::CharByteLength(text, k);
    if (canvas.TextWidth(text.substr(0, next) + kEllipsis) > width) break;
    keep = k = next;
  }
  return text.substr(0, keep) + kEllipsis;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == rtl::PathDelim) return folder + name;
  return folder + rtl::PathDelim + name;
}

}  // namespace controls
