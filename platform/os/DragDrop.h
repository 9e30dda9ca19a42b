// Drag and drop and the clipboard.
//
// Files dropped on a window. A desktop backend turns the desktop's
// drag-and-drop into a DeliverDrop call; tests call it directly.
//
// A window here is any object of this process that stands for one (a form
// or a control); the table only borrows the pointer as a key. A window takes
// drops only while it accepts files and has a drop procedure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace os {

using TDropWindow = const void*;

struct TDropFiles {
  std::vector<std::string> Files;  // whole paths, in the order dropped
  int X = 0;                       // drop point in the window's client area
  int Y = 0;
};

using TDropProc = std::function<void(const TDropFiles& drop)>;

// Installs proc as the window's drop procedure and returns the one it
// replaces (empty when none). An empty proc removes the entry.
TDropProc SetDropProc(TDropWindow window, TDropProc proc);
// The window's drop procedure now (empty when none).
TDropProc DropProcOf(TDropWindow window);
// Whether the window takes drops (the no-drop cursor shows otherwise).
void DragAcceptFiles(TDropWindow window, bool accept);
bool DragAcceptsFiles(TDropWindow window);
// Delivers a drop: false, and no call, when the window does not take it.
bool DeliverDrop(TDropWindow window, const TDropFiles& drop);

// ---- data transfer: data objects, the drag loop and the clipboard ------------
//
// Data leaves a window of ours as a data object that offers formats (a
// clipboard format number, an aspect and a medium) and renders each one
// into a block of bytes laid out as the receiving program reads it. A drag
// runs as a modal loop: DoDragDrop hands a session to the drag loop of the
// desktop backend (tests install their own), which moves the pointer over
// drop targets, asks the source whether to go on, gives feedback, and ends
// with a drop or a cancel. Without a backend a drag ends at once, cancelled.
//
// The clipboard is this process's own: formats placed on it stay until the
// next opening empties it.

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT STG_E_FILENOTFOUND = static_cast<HRESULT>(0x80030002u);
inline constexpr HRESULT OLE_E_ADVISENOTSUPPORTED = static_cast<HRESULT>(0x80040003u);
inline constexpr HRESULT DV_E_FORMATETC = static_cast<HRESULT>(0x80040064u);
inline constexpr HRESULT DATA_S_SAMEFORMATETC = 0x00040130;
inline constexpr HRESULT DRAGDROP_S_DROP = 0x00040100;
inline constexpr HRESULT DRAGDROP_S_CANCEL = 0x00040101;
inline constexpr HRESULT DRAGDROP_S_USEDEFAULTCURSORS = 0x00040102;

// Effects of a drop, as bits.
inline constexpr uint32_t DROPEFFECT_NONE = 0;
inline constexpr uint32_t DROPEFFECT_COPY = 1;
inline constexpr uint32_t DROPEFFECT_MOVE = 2;
inline constexpr uint32_t DROPEFFECT_LINK = 4;

// Keys and buttons held during a drag.
inline constexpr uint32_t MK_LBUTTON = 0x01;
inline constexpr uint32_t MK_RBUTTON = 0x02;
inline constexpr uint32_t MK_SHIFT = 0x04;
inline constexpr uint32_t MK_CONTROL = 0x08;
inline constexpr uint32_t MK_MBUTTON = 0x10;

inline constexpr uint16_t CF_TEXT = 1;
inline constexpr uint16_t CF_HDROP = 15;

inline constexpr uint32_t DVASPECT_CONTENT = 1;
inline constexpr uint32_t DVASPECT_THUMBNAIL = 2;
inline constexpr uint32_t DVASPECT_ICON = 4;

inline constexpr uint32_t TYMED_HGLOBAL = 1;
inline constexpr uint32_t TYMED_FILE = 2;
inline constexpr uint32_t TYMED_ISTREAM = 4;

inline constexpr uint32_t DATADIR_GET = 1;
inline constexpr uint32_t DATADIR_SET = 2;

// The number of a named format: the same name (ignoring ASCII case) always
// gives the same number, from 0xC000 up; 0 for an empty name.
uint16_t RegisterClipboardFormat(const std::string& name);
// The name of a registered format; empty for a number never given out.
std::string ClipboardFormatName(uint16_t format);

// One offered format. The target device is not modelled (always none).
struct FORMATETC {
  uint16_t cfFormat = 0;
  const void* ptd = nullptr;
  uint32_t dwAspect = DVASPECT_CONTENT;
  int32_t lindex = -1;
  uint32_t tymed = TYMED_HGLOBAL;
};

// Rendered data: a block of bytes that the receiver owns (TYMED_HGLOBAL),
// or nothing (tymed 0).
struct STGMEDIUM {
  uint32_t tymed = 0;
  std::vector<uint8_t> hGlobal;
};

class IEnumFORMATETC {
 public:
  virtual ~IEnumFORMATETC() = default;
  // Copies up to celt entries from the current one on; S_OK when celt were
  // copied, else S_FALSE. fetched (when given) gets the number copied.
  virtual HRESULT Next(uint32_t celt, FORMATETC* rgelt, uint32_t* fetched) = 0;
  virtual HRESULT Skip(uint32_t celt) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(std::unique_ptr<IEnumFORMATETC>& enumerator) = 0;
};

// The data a drag or the clipboard carries. Advise sinks are not modelled.
class IDataObject {
 public:
  virtual ~IDataObject() = default;
  virtual HRESULT GetData(const FORMATETC& format, STGMEDIUM& medium) = 0;
  virtual HRESULT GetDataHere(const FORMATETC& format, STGMEDIUM& medium) = 0;
  virtual HRESULT QueryGetData(const FORMATETC& format) = 0;
  virtual HRESULT GetCanonicalFormatEtc(const FORMATETC& in, FORMATETC& out) = 0;
  virtual HRESULT SetData(const FORMATETC& format, STGMEDIUM& medium, bool release) = 0;
  virtual HRESULT EnumFormatEtc(uint32_t direction, std::unique_ptr<IEnumFORMATETC>& enumerator) = 0;
  virtual HRESULT DAdvise() = 0;
  virtual HRESULT DUnadvise() = 0;
  virtual HRESULT EnumDAdvise() = 0;
};

// The program the data is dragged out of.
class IDropSource {
 public:
  virtual ~IDropSource() = default;
  // S_OK: the drag goes on; DRAGDROP_S_DROP: drop now; DRAGDROP_S_CANCEL.
  virtual HRESULT QueryContinueDrag(bool escapePressed, uint32_t keyState) = 0;
  // The effect the target under the pointer would have (masked by the
  // allowed ones).
  virtual HRESULT GiveFeedback(uint32_t effect) = 0;
};

// A place under the pointer that takes drops (a folder, another program's
// window). Over says what a drop there would do; Drop takes the data and
// returns what it did. An unset Over takes nothing; an unset Drop does what
// Over said.
struct TDropTarget {
  std::function<uint32_t(IDataObject& data, uint32_t keyState, uint32_t allowed)> Over;
  std::function<uint32_t(IDataObject& data, uint32_t keyState, uint32_t effect)> Drop;
};

// One drag in progress, as the drag loop sees it.
class TDragSession {
 public:
  TDragSession(IDataObject& data, IDropSource& source, uint32_t allowed);

  IDataObject& Data() { return data_; }
  uint32_t AllowedEffects() const { return allowed_; }

  // One turn of the loop: the pointer is over target (nullptr: over nothing
  // that takes drops) with keyState held. The source decides whether the
  // drag goes on (feedback with the target's effect), drops (the target's
  // Drop runs) or ends. Returns true while the drag goes on.
  bool Step(const TDropTarget* target, uint32_t keyState, bool escapePressed = false);

  bool Ended() const { return ended_; }
  // DRAGDROP_S_DROP or DRAGDROP_S_CANCEL once ended.
  HRESULT Result() const { return result_; }
  // The effect of the drop (DROPEFFECT_NONE when cancelled).
  uint32_t Effect() const { return effect_; }
  // Whether the last feedback left the cursors to the loop.
  bool DefaultCursors() const { return defaultCursors_; }

 private:
  void End(HRESULT result, uint32_t effect);

  IDataObject& data_;
  IDropSource& source_;
  uint32_t allowed_;
  uint32_t over_ = DROPEFFECT_NONE;
  bool ended_ = false;
  bool defaultCursors_ = true;
  HRESULT result_ = DRAGDROP_S_CANCEL;
  uint32_t effect_ = DROPEFFECT_NONE;
};

// The desktop backend's modal loop: runs the session until it ends. A loop
// that returns while the drag still goes on cancels it.
using TDragLoop = std::function<void(TDragSession& session)>;
// Installs the drag loop and returns the one it replaces.
TDragLoop SetDragLoop(TDragLoop loop);

// Runs one drag of data with the allowed effects through the drag loop and
// blocks until it ends. Returns DRAGDROP_S_DROP or DRAGDROP_S_CANCEL, with
// the drop's effect in effect; E_INVALIDARG when no effect is allowed.
HRESULT DoDragDrop(IDataObject& data, IDropSource& source, uint32_t allowed, uint32_t& effect);

// Item-ID lists of the shell's namespace: one item per path component,
// each a 16-bit little-endian size (counting its own two bytes) followed by
// the component's bytes; an item of size 0 ends the list. The root is the
// empty list.
inline constexpr size_t kMaxItemIdData = 0xFFFF - 2;
// The list of an existing file or folder (an absolute path), relative to
// the folder base (absolute; empty: the root). False when the path does not
// exist, does not lie in base, or a component does not fit in an item.
bool ItemIdList(const std::string& path, std::vector<uint8_t>& list, const std::string& base = "");

// The clipboard. OpenClipboard fails (false) while it is open already; the
// first SetClipboardData of an opening empties what an earlier opening
// left. Data can be placed only while open.
bool OpenClipboard();
bool CloseClipboard();
bool EmptyClipboard();
bool SetClipboardData(uint16_t format, std::vector<uint8_t> data);
// The data of a format (nullptr when none); valid until the clipboard
// changes.
const std::vector<uint8_t>* GetClipboardData(uint16_t format);
bool IsClipboardFormatAvailable(uint16_t format);

}  // namespace os
