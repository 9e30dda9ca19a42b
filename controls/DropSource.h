// Dragging files out of our window: a drag source that is at once the data
// object and the drop source of a drag, and its descendant that offers a
// list of files in the formats file managers and other programs read.
//
// Ownership: the owner frees the component; a drag only borrows it for the
// length of StartDrag. TDropFileSource owns its two lists; their setters
// copy the given list. An enumerator holds its own copy of the formats, so
// it stays valid whatever becomes of the source.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/NewCtrls.h"
#include "platform/forms/ImgList.h"
#include "platform/os/DragDrop.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/Sets.h"

namespace controls {

enum TDragType { dtCopy, dtMove, dtLink };
using TDragTypes = rtl::TSet<TDragType>;

// The effect bit of a drag type.
uint32_t DropEffectOf(TDragType type);

using TDropEvent = std::function<void(rtl::TObject* Sender, TDragType DragType, bool& ContinueDrop)>;
using TFeedbackEvent = std::function<void(rtl::TObject* Sender, int Effect, bool& UseDefaultCursors)>;

// The formats a source can offer.
inline constexpr int kMaxFormatEtc = 20;

// Results of StartDrag.
inline constexpr uint8_t kDragCopied = 0;
inline constexpr uint8_t kDragMoved = 1;
inline constexpr uint8_t kDragLinked = 2;
inline constexpr uint8_t kDragCancelled = 3;  // also a drop that did nothing
inline constexpr uint8_t kDragOutOfMemory = 4;
inline constexpr uint8_t kDragFailed = 5;

// The registered formats a file source offers besides CF_HDROP.
uint16_t CF_SHELLIDLIST();
uint16_t CF_PREFERREDDROPEFFECT();
uint16_t CF_FILENAMEMAP();
uint16_t CF_FILENAMEMAPW();

// Enumerates a copy of a source's formats.
class TEnumFormatEtc : public os::IEnumFORMATETC {
 public:
  explicit TEnumFormatEtc(std::vector<os::FORMATETC> formats, size_t index = 0)
      : formats_(std::move(formats)), index_(index) {}
  os::HRESULT Next(uint32_t celt, os::FORMATETC* rgelt, uint32_t* fetched) override;
  os::HRESULT Skip(uint32_t celt) override;
  os::HRESULT Reset() override;
  os::HRESULT Clone(std::unique_ptr<os::IEnumFORMATETC>& enumerator) override;
  size_t Index() const { return index_; }

 private:
  std::vector<os::FORMATETC> formats_;
  size_t index_;
};

// A drag source: the formats it offers, the drag, the clipboard hand-over.
// How the data of a format is made is the descendant's (RenderData).
class TDropSource : public rtl::TComponent, public os::IDataObject, public os::IDropSource {
 public:
  explicit TDropSource(rtl::TComponent* owner = nullptr);

  // IDataObject.
  os::HRESULT GetData(const os::FORMATETC& format, os::STGMEDIUM& medium) override;
  os::HRESULT GetDataHere(const os::FORMATETC& format, os::STGMEDIUM& medium) override;
  os::HRESULT QueryGetData(const os::FORMATETC& format) override;
  os::HRESULT GetCanonicalFormatEtc(const os::FORMATETC& in, os::FORMATETC& out) override;
  os::HRESULT SetData(const os::FORMATETC& format, os::STGMEDIUM& medium, bool release) override;
  os::HRESULT EnumFormatEtc(uint32_t direction, std::unique_ptr<os::IEnumFORMATETC>& enumerator) override;
  os::HRESULT DAdvise() override;
  os::HRESULT DUnadvise() override;
  os::HRESULT EnumDAdvise() override;

  // IDropSource.
  os::HRESULT QueryContinueDrag(bool escapePressed, uint32_t keyState) override;
  os::HRESULT GiveFeedback(uint32_t effect) override;

  virtual os::HRESULT RenderData(const os::FORMATETC& format, os::STGMEDIUM& medium) = 0;
  // Appends a format; a full table takes no more.
  virtual void AddFormatEtc(uint16_t cfFormat, const void* ptd, uint32_t dwAspect, int32_t lindex,
                            uint32_t tymed);
  virtual bool PlaceOnClipboard();
  virtual bool CutToClipboard();
  virtual bool CopyToClipboard();

  // Runs one drag and blocks until the drop or the cancel; one of the
  // kDrag... results. A drag asked for while one runs fails.
  uint8_t StartDrag();
  bool Dragging() const { return dragging_; }

  int FormatCount() const { return static_cast<int>(formats_.size()); }
  const os::FORMATETC& Format(int index) const { return formats_.at(static_cast<size_t>(index)); }
  // The effect of the last feedback, or of the last clipboard hand-over.
  uint32_t LastEffect() const { return lastEffect_; }

  // The drag image: image ImageIndex of Images, shown while ShowImage. This
  // desktop draws no drag image; the properties keep their rules for the
  // form that sets them. Images is borrowed: the form reports its removal
  // through Notification.
  forms::TImageList* Images() const { return images_; }
  // Another list starts at its first image, shown when there is a list.
  void SetImages(forms::TImageList* images);
  int ImageIndex() const { return imageIndex_; }
  // Without images, or for a negative index: image 0, not shown. An index
  // past the images is ignored.
  void SetImageIndex(int index);
  bool ShowImage() const { return showImage_; }
  // Never shown without a list.
  void SetShowImage(bool value);
  virtual void Notification(rtl::TComponent* component, TOperation operation);

  TDragTypes Dragtypes{dtCopy};
  TDropEvent OnDrop;
  TFeedbackEvent OnFeedback;
  int ImageHotSpotX = 16;
  int ImageHotSpotY = 16;

 protected:
  bool ToClipboard(uint32_t effect);

  uint32_t lastEffect_ = os::DROPEFFECT_NONE;

 private:
  std::vector<os::FORMATETC> formats_;
  bool dragging_ = false;
  forms::TImageList* images_ = nullptr;  // borrowed
  int imageIndex_ = 0;
  bool showImage_ = false;
};

// Offers Files as a file list (CF_HDROP), the shell's item lists, the
// preferred effect and, when MappedNames names every file, the names the
// files should get at the target (in the system code page and wide).
class TDropFileSource : public TDropSource {
 public:
  explicit TDropFileSource(rtl::TComponent* owner = nullptr);
  ~TDropFileSource() override;

  rtl::TStrings& Files() { return *files_; }
  const rtl::TStrings& Files() const { return *files_; }
  void SetFiles(const rtl::TStrings& files) { files_->Assign(files); }
  rtl::TStrings& MappedNames() { return *mappedNames_; }
  void SetMappedNames(const rtl::TStrings& names) { mappedNames_->Assign(names); }

  os::HRESULT RenderData(const os::FORMATETC& format, os::STGMEDIUM& medium) override;
  bool PlaceOnClipboard() override;

 private:
  std::unique_ptr<rtl::TStringList> files_;
  std::unique_ptr<rtl::TStringList> mappedNames_;
};

}  // namespace controls
