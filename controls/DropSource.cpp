#include "controls/DropSource.h"

#include <filesystem>
#include <limits>
#include <new>

#include "platform/rtl/CodePages.h"

namespace controls {

namespace {

using os::HRESULT;

constexpr size_t kDropFilesHeaderSize = 20;  // pFiles, pt.x, pt.y, fNC, fWide

void PutU32(std::vector<uint8_t>& block, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) block[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The request names the format, for the content, in global memory.
bool Matches(const os::FORMATETC& request, uint16_t format) {
  return request.cfFormat == format && request.dwAspect == os::DVASPECT_CONTENT &&
         (request.tymed & os::TYMED_HGLOBAL) != 0;
}

// An empty name would end a zero-separated list early and hide the names
// after it.
std::vector<std::string> NonEmpty(const rtl::TStrings& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i)
    if (!list[i].empty()) names.push_back(list[i]);
  return names;
}

// Names in the system code page, each followed by a zero byte, then one more.
std::vector<uint8_t> ZeroSeparated(const std::vector<std::string>& names, size_t headerSize) {
  size_t size = headerSize + 1;
  for (const auto& n : names) size += n.size() + 1;
  std::vector<uint8_t> block(size, 0);
  size_t at = headerSize;
  for (const auto& n : names) {
    std::copy(n.begin(), n.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
    at += n.size() + 1;
  }
  return block;
}

// The same names as UTF-16 (little-endian), each followed by a 16-bit zero,
// then one more; sized by the converted text, not by the bytes.
std::vector<uint8_t> ZeroSeparatedWide(const std::vector<std::string>& names) {
  std::vector<std::u16string> wide;
  size_t units = 1;
  for (const auto& n : names) {
    wide.push_back(rtl::MultiByteToWide(n));
    units += wide.back().size() + 1;
  }
  std::vector<uint8_t> block(units * 2, 0);
  size_t at = 0;
  for (const auto& w : wide) {
    for (char16_t c : w) {
      block[at++] = static_cast<uint8_t>(c & 0xFF);
      block[at++] = static_cast<uint8_t>(c >> 8);
    }
    at += 2;
  }
  return block;
}

std::string FolderOf(const std::string& path) {
  std::string f = std::filesystem::path(path).lexically_normal().parent_path().string();
  return f.empty() ? "/" : f;
}

bool LiesIn(const std::string& path, const std::string& folder) {
  if (folder == "/") return true;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

// The shell's item lists of the files: the count, n + 1 offsets, the list of
// the folder that holds them all, then each file's list relative to it. The
// folder is the deepest one that holds every file, so that each list names
// the right file even when the files lie in different folders.
HRESULT ShellIdListArray(const std::vector<std::string>& files, std::vector<uint8_t>& block) {
  std::vector<std::string> paths;
  for (const auto& f : files) paths.push_back(std::filesystem::absolute(f).lexically_normal().string());
  std::string folder = FolderOf(paths.front());
  for (const auto& p : paths)
    while (!LiesIn(p, folder)) folder = FolderOf(folder);

  std::vector<std::vector<uint8_t>> lists(paths.size() + 1);
  if (!os::ItemIdList(folder, lists[0])) return os::STG_E_FILENOTFOUND;
  for (size_t i = 0; i < paths.size(); ++i)
    if (!os::ItemIdList(paths[i], lists[i + 1], folder)) return os::STG_E_FILENOTFOUND;

  const size_t n = paths.size();
  uint64_t size = 4 * static_cast<uint64_t>(n) + 8;
  for (const auto& l : lists) size += l.size();
  // The offsets are 32-bit.
  if (size > std::numeric_limits<uint32_t>::max()) return os::E_OUTOFMEMORY;
  block.assign(static_cast<size_t>(size), 0);
  PutU32(block, 0, static_cast<uint32_t>(n));
  size_t at = 4 * n + 8;
  for (size_t i = 0; i <= n; ++i) {
    PutU32(block, 4 + 4 * i, static_cast<uint32_t>(at));
    std::copy(lists[i].begin(), lists[i].end(), block.begin() + static_cast<std::ptrdiff_t>(at));
    at += lists[i].size();
  }
  return os::S_OK;
}

}  // namespace

uint32_t DropEffectOf(TDragType type) {
  switch (type) {
    case dtCopy:
      return os::DROPEFFECT_COPY;
    case dtMove:
      return os::DROPEFFECT_MOVE;
    case dtLink:
      return os::DROPEFFECT_LINK;
  }
  return os::DROPEFFECT_NONE;
}

// Registering a name again gives its number again.
uint16_t CF_SHELLIDLIST() {
  return os::RegisterClipboardFormat("Shell IDList Array");
}
uint16_t CF_PREFERREDDROPEFFECT() {
  return os::RegisterClipboardFormat("Preferred DropEffect");
}
uint16_t CF_FILENAMEMAP() {
  return os::RegisterClipboardFormat("FileNameMap");
}
uint16_t CF_FILENAMEMAPW() {
  return os::RegisterClipboardFormat("FileNameMapW");
}

// ---- enumerator ----------------------------------------------------------------

HRESULT TEnumFormatEtc::Next(uint32_t celt, os::FORMATETC* rgelt, uint32_t* fetched) {
  if (celt > 0 && !rgelt) return os::E_INVALIDARG;
  uint32_t copied = 0;
  while (copied < celt && index_ < formats_.size()) rgelt[copied++] = formats_[index_++];
  if (fetched) *fetched = copied;
  return copied == celt ? os::S_OK : os::S_FALSE;
}

HRESULT TEnumFormatEtc::Skip(uint32_t celt) {
  if (celt > formats_.size() - index_) {
    index_ = formats_.size();
    return os::S_FALSE;
  }
  index_ += celt;
  return os::S_OK;
}

HRESULT TEnumFormatEtc::Reset() {
  index_ = 0;
  return os::S_OK;
}

HRESULT TEnumFormatEtc::Clone(std::unique_ptr<os::IEnumFORMATETC>& enumerator) {
  enumerator = std::make_unique<TEnumFormatEtc>(formats_, index_);
  return os::S_OK;
}

// ---- drag source ---------------------------------------------------------------

TDropSource::TDropSource(rtl::TComponent* owner) : rtl::TComponent(owner) {}

HRESULT TDropSource::GetData(const os::FORMATETC& format, os::STGMEDIUM& medium) {
  return RenderData(format, medium);
}

HRESULT TDropSource::GetDataHere(const os::FORMATETC&, os::STGMEDIUM&) {
  return os::E_NOTIMPL;
}

HRESULT TDropSource::QueryGetData(const os::FORMATETC& format) {
  for (const auto& f : formats_)
    if (f.cfFormat == format.cfFormat && f.dwAspect == format.dwAspect && (f.tymed & format.tymed) != 0)
      return os::S_OK;
  return os::E_FAIL;
}

HRESULT TDropSource::GetCanonicalFormatEtc(const os::FORMATETC&, os::FORMATETC&) {
  return os::DATA_S_SAMEFORMATETC;
}

HRESULT TDropSource::SetData(const os::FORMATETC&, os::STGMEDIUM&, bool) {
  return os::E_NOTIMPL;
}

HRESULT TDropSource::EnumFormatEtc(uint32_t direction, std::unique_ptr<os::IEnumFORMATETC>& enumerator) {
  enumerator.reset();
  if (direction == os::DATADIR_GET) {
    enumerator = std::make_unique<TEnumFormatEtc>(formats_);
    return os::S_OK;
  }
  return direction == os::DATADIR_SET ? os::E_NOTIMPL : os::E_INVALIDARG;
}

HRESULT TDropSource::DAdvise() {
  return os::OLE_E_ADVISENOTSUPPORTED;
}
HRESULT TDropSource::DUnadvise() {
  return os::OLE_E_ADVISENOTSUPPORTED;
}
HRESULT TDropSource::EnumDAdvise() {
  return os::OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TDropSource::QueryContinueDrag(bool escapePressed, uint32_t keyState) {
  if (escapePressed) return os::DRAGDROP_S_CANCEL;
  if ((keyState & (os::MK_LBUTTON | os::MK_RBUTTON)) != 0) return os::S_OK;
  TDragType type;
  if (lastEffect_ & os::DROPEFFECT_COPY)
    type = dtCopy;
  else if (lastEffect_ & os::DROPEFFECT_MOVE)
    type = dtMove;
  else if (lastEffect_ & os::DROPEFFECT_LINK)
    type = dtLink;
  else
    return os::DRAGDROP_S_CANCEL;
  if (!Dragtypes.Contains(type)) return os::DRAGDROP_S_CANCEL;
  bool continueDrop = true;
  if (OnDrop) OnDrop(this, type, continueDrop);
  return continueDrop ? os::DRAGDROP_S_DROP : os::DRAGDROP_S_CANCEL;
}

HRESULT TDropSource::GiveFeedback(uint32_t effect) {
  lastEffect_ = effect;
  bool useDefaultCursors = true;
  if (OnFeedback) OnFeedback(this, static_cast<int>(effect), useDefaultCursors);
  return useDefaultCursors ? os::DRAGDROP_S_USEDEFAULTCURSORS : os::S_OK;
}

void TDropSource::AddFormatEtc(uint16_t cfFormat, const void* ptd, uint32_t dwAspect, int32_t lindex,
                               uint32_t tymed) {
  if (formats_.size() >= kMaxFormatEtc) return;
  formats_.push_back({cfFormat, ptd, dwAspect, lindex, tymed});
}

bool TDropSource::PlaceOnClipboard() {
  return false;
}
bool TDropSource::CutToClipboard() {
  return ToClipboard(os::DROPEFFECT_MOVE);
}
bool TDropSource::CopyToClipboard() {
  return ToClipboard(os::DROPEFFECT_COPY);
}

bool TDropSource::ToClipboard(uint32_t effect) {
  if (!os::OpenClipboard()) return false;
  bool placed = false;
  if (PlaceOnClipboard()) {
    lastEffect_ = effect;
    os::STGMEDIUM medium;
    if (GetData({CF_PREFERREDDROPEFFECT(), nullptr, os::DVASPECT_CONTENT, -1, os::TYMED_HGLOBAL}, medium) ==
        os::S_OK)
      placed = os::SetClipboardData(CF_PREFERREDDROPEFFECT(), std::move(medium.hGlobal));
  }
  os::CloseClipboard();
  return placed;
}

void TDropSource::SetImages(forms::TImageList* images) {
  if (images == images_) return;
  images_ = images;
  imageIndex_ = 0;
  showImage_ = images_ != nullptr;
}

void TDropSource::SetImageIndex(int index) {
  if (index < 0 || !images_ || images_->Count() == 0) {
    imageIndex_ = 0;
    showImage_ = false;
    return;
  }
  if (index >= images_->Count()) return;
  imageIndex_ = index;
}

void TDropSource::SetShowImage(bool value) {
  showImage_ = value && images_ != nullptr;
}

void TDropSource::Notification(rtl::TComponent* component, TOperation operation) {
  if (operation != opRemove || component == nullptr || component != images_) return;
  images_ = nullptr;
  imageIndex_ = 0;
  showImage_ = false;
}

uint8_t TDropSource::StartDrag() {
  if (dragging_) return kDragFailed;
  uint32_t allowed = 0;
  for (TDragType t : {dtCopy, dtMove, dtLink})
    if (Dragtypes.Contains(t)) allowed |= DropEffectOf(t);
  // An effect left from an earlier drag must not decide this one's drop.
  lastEffect_ = os::DROPEFFECT_NONE;
  dragging_ = true;
  uint32_t effect = os::DROPEFFECT_NONE;
  HRESULT result;
  try {
    result = os::DoDragDrop(*this, *this, allowed, effect);
  } catch (...) {
    dragging_ = false;
    throw;
  }
  dragging_ = false;
  if (result == os::DRAGDROP_S_DROP) {
    effect &= allowed;
    if (effect & os::DROPEFFECT_COPY) return kDragCopied;
    if (effect & os::DROPEFFECT_MOVE) return kDragMoved;
    if (effect != 0) return kDragLinked;
    return kDragCancelled;
  }
  if (result == os::DRAGDROP_S_CANCEL) return kDragCancelled;
  if (result == os::E_OUTOFMEMORY) return kDragOutOfMemory;
  return kDragFailed;
}

// ---- file source ---------------------------------------------------------------

TDropFileSource::TDropFileSource(rtl::TComponent* owner)
    : TDropSource(owner),
      files_(std::make_unique<rtl::TStringList>()),
      mappedNames_(std::make_unique<rtl::TStringList>()) {
  for (uint16_t f :
       {os::CF_HDROP, CF_SHELLIDLIST(), CF_PREFERREDDROPEFFECT(), CF_FILENAMEMAP(), CF_FILENAMEMAPW()})
    AddFormatEtc(f, nullptr, os::DVASPECT_CONTENT, -1, os::TYMED_HGLOBAL);
}

TDropFileSource::~TDropFileSource() = default;

HRESULT TDropFileSource::RenderData(const os::FORMATETC& format, os::STGMEDIUM& medium) {
  medium = {};
  if (files_->Count() == 0) return os::E_UNEXPECTED;
  try {
    const std::vector<std::string> files = NonEmpty(*files_);
    // A map whose names do not pair up one to one with the files would
    // rename the wrong ones.
    const bool mapped = mappedNames_->Count() == files_->Count() &&
                        static_cast<int>(NonEmpty(*mappedNames_).size()) == mappedNames_->Count() &&
                        static_cast<int>(files.size()) == files_->Count();
    std::vector<uint8_t> block;
    HRESULT result = os::S_OK;
    if (Matches(format, os::CF_HDROP)) {
      block = ZeroSeparated(files, kDropFilesHeaderSize);
      PutU32(block, 0, kDropFilesHeaderSize);  // pFiles; pt, fNC and fWide stay 0
    } else if (Matches(format, CF_FILENAMEMAP()) && mapped) {
      block = ZeroSeparated(NonEmpty(*mappedNames_), 0);
    } else if (Matches(format, CF_FILENAMEMAPW()) && mapped) {
      block = ZeroSeparatedWide(NonEmpty(*mappedNames_));
    } else if (Matches(format, CF_SHELLIDLIST())) {
      if (files.empty()) return os::STG_E_FILENOTFOUND;
      result = ShellIdListArray(files, block);
    } else if (Matches(format, CF_PREFERREDDROPEFFECT())) {
      block.assign(4, 0);
      PutU32(block, 0, lastEffect_);
    } else {
      return os::DV_E_FORMATETC;
    }
    if (result != os::S_OK) return result;
    medium.tymed = os::TYMED_HGLOBAL;
    medium.hGlobal = std::move(block);
    return os::S_OK;
  } catch (const std::bad_alloc&) {
    medium = {};
    return os::E_OUTOFMEMORY;
  }
}

bool TDropFileSource::PlaceOnClipboard() {
  if (files_->Count() == 0) return false;
  os::STGMEDIUM medium;
  if (GetData({os::CF_HDROP, nullptr, os::DVASPECT_CONTENT, -1, os::TYMED_HGLOBAL}, medium) != os::S_OK)
    return false;
  return os::SetClipboardData(os::CF_HDROP, std::move(medium.hGlobal));
}

}  // namespace controls
