#include "platform/os/DragDrop.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

namespace os {

namespace {

struct Entry {
  TDropProc proc;
  bool accept = false;
};

std::mutex& TableLock() {
  static std::mutex m;
  return m;
}

std::map<TDropWindow, Entry>& Table() {
  static std::map<TDropWindow, Entry> t;
  return t;
}

}  // namespace

TDropProc SetDropProc(TDropWindow window, TDropProc proc) {
  std::lock_guard<std::mutex> lock(TableLock());
  auto& t = Table();
  Entry& e = t[window];
  TDropProc old = std::move(e.proc);
  e.proc = std::move(proc);
  if (!e.proc && !e.accept) t.erase(window);
  return old;
}

TDropProc DropProcOf(TDropWindow window) {
  std::lock_guard<std::mutex> lock(TableLock());
  auto it = Table().find(window);
  return it == Table().end() ? TDropProc() : it->second.proc;
}

void DragAcceptFiles(TDropWindow window, bool accept) {
  std::lock_guard<std::mutex> lock(TableLock());
  auto& t = Table();
  Entry& e = t[window];
  e.accept = accept;
  if (!e.proc && !e.accept) t.erase(window);
}

bool DragAcceptsFiles(TDropWindow window) {
  std::lock_guard<std::mutex> lock(TableLock());
  auto it = Table().find(window);
  return it != Table().end() && it->second.accept;
}

bool DeliverDrop(TDropWindow window, const TDropFiles& drop) {
  TDropProc proc;
  {
    std::lock_guard<std::mutex> lock(TableLock());
    auto it = Table().find(window);
    if (it == Table().end() || !it->second.accept || !it->second.proc) return false;
    proc = it->second.proc;  // a copy: the handler may re-hook the window
  }
  proc(drop);
  return true;
}

}  // namespace os

// ---- data transfer -------------------------------------------------------------

namespace os {

namespace {

// Registered formats take numbers from here up, as on the desktop the
// programs were written for, so that numbers never clash with the
// predefined ones.
constexpr uint16_t kFirstRegisteredFormat = 0xC000;

struct Formats {
  std::mutex lock;
  std::vector<std::string> names;  // index + kFirstRegisteredFormat
};

Formats& FormatTable() {
  static Formats f;
  return f;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

struct Clipboard {
  std::mutex lock;
  bool open = false;
  bool emptiedThisOpening = false;
  std::map<uint16_t, std::vector<uint8_t>> data;
};

Clipboard& TheClipboard() {
  static Clipboard c;
  return c;
}

struct Loop {
  std::mutex lock;
  TDragLoop loop;
};

Loop& TheLoop() {
  static Loop l;
  return l;
}

}  // namespace

uint16_t RegisterClipboardFormat(const std::string& name) {
  if (name.empty()) return 0;
  Formats& f = FormatTable();
  std::lock_guard<std::mutex> lock(f.lock);
  for (size_t i = 0; i < f.names.size(); ++i)
    if (SameNameIgnoringCase(f.names[i], name)) return static_cast<uint16_t>(kFirstRegisteredFormat + i);
  if (f.names.size() >= 0x10000u - kFirstRegisteredFormat) return 0;
  f.names.push_back(name);
  return static_cast<uint16_t>(kFirstRegisteredFormat + f.names.size() - 1);
}

std::string ClipboardFormatName(uint16_t format) {
  Formats& f = FormatTable();
  std::lock_guard<std::mutex> lock(f.lock);
  if (format < kFirstRegisteredFormat) return {};
  const size_t index = static_cast<size_t>(format - kFirstRegisteredFormat);
  if (index >= f.names.size()) return {};
  return f.names[index];
}

TDragSession::TDragSession(IDataObject& data, IDropSource& source, uint32_t allowed)
    : data_(data), source_(source), allowed_(allowed) {}

void TDragSession::End(HRESULT result, uint32_t effect) {
  ended_ = true;
  result_ = result;
  effect_ = effect;
}

bool TDragSession::Step(const TDropTarget* target, uint32_t keyState, bool escapePressed) {
  if (ended_) return false;
  HRESULT decision = source_.QueryContinueDrag(escapePressed, keyState);
  if (decision == DRAGDROP_S_DROP) {
    uint32_t done = over_;
    // A target that would take nothing is not asked to take the data.
    if (target && over_ != DROPEFFECT_NONE && target->Drop) done = target->Drop(data_, keyState, over_);
    if (!target) done = DROPEFFECT_NONE;
    End(DRAGDROP_S_DROP, done & allowed_);
    return false;
  }
  if (decision != S_OK) {
    End(DRAGDROP_S_CANCEL, DROPEFFECT_NONE);
    return false;
  }
  over_ = target && target->Over ? target->Over(data_, keyState, allowed_) & allowed_ : DROPEFFECT_NONE;
  defaultCursors_ = source_.GiveFeedback(over_) == DRAGDROP_S_USEDEFAULTCURSORS;
  return true;
}

TDragLoop SetDragLoop(TDragLoop loop) {
  Loop& l = TheLoop();
  std::lock_guard<std::mutex> lock(l.lock);
  TDragLoop old = std::move(l.loop);
  l.loop = std::move(loop);
  return old;
}

HRESULT DoDragDrop(IDataObject& data, IDropSource& source, uint32_t allowed, uint32_t& effect) {
  effect = DROPEFFECT_NONE;
  if ((allowed & (DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK)) == 0) return E_INVALIDARG;
  TDragLoop loop;
  {
    Loop& l = TheLoop();
    std::lock_guard<std::mutex> lock(l.lock);
    loop = l.loop;
  }
  TDragSession session(data, source, allowed);
  if (loop) loop(session);
  if (!session.Ended()) return DRAGDROP_S_CANCEL;
  effect = session.Effect();
  return session.Result();
}

namespace {

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  for (const auto& c : std::filesystem::path(path).lexically_normal()) {
    std::string name = c.string();
    if (name.empty() || name == "/" || name == ".") continue;
    parts.push_back(name);
  }
  return parts;
}

}  // namespace

bool ItemIdList(const std::string& path, std::vector<uint8_t>& list, const std::string& base) {
  list.clear();
  if (path.empty() || path[0] != '/') return false;
  if (!base.empty() && base[0] != '/') return false;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  const std::vector<std::string> parts = Components(path);
  const std::vector<std::string> baseParts = Components(base);
  if (baseParts.size() > parts.size() || !std::equal(baseParts.begin(), baseParts.end(), parts.begin()))
    return false;
  for (size_t i = baseParts.size(); i < parts.size(); ++i) {
    const std::string& name = parts[i];
    if (name == ".." || name.size() > kMaxItemIdData) return false;
    const size_t cb = name.size() + 2;
    list.push_back(static_cast<uint8_t>(cb & 0xFF));
    list.push_back(static_cast<uint8_t>(cb >> 8));
    list.insert(list.end(), name.begin(), name.end());
  }
  list.push_back(0);
  list.push_back(0);
  return true;
}

bool OpenClipboard() {
  Clipboard& c = TheClipboard();
  std::lock_guard<std::mutex> lock(c.lock);
  if (c.open) return false;
  c.open = true;
  c.emptiedThisOpening = false;
  return true;
}

bool CloseClipboard() {
  Clipboard& c = TheClipboard();
  std::lock_guard<std::mutex> lock(c.lock);
  if (!c.open) return false;
  c.open = false;
  return true;
}

bool EmptyClipboard() {
  Clipboard& c = TheClipboard();
  std::lock_guard<std::mutex> lock(c.lock);
  if (!c.open) return false;
  c.data.clear();
  c.emptiedThisOpening = true;
  return true;
}

bool SetClipboardData(uint16_t format, std::vector<uint8_t> data) {
  Clipboard& c = TheClipboard();
  std::lock_guard<std::mutex> lock(c.lock);
  if (!c.open || format == 0) return false;
  // What an earlier opening left would otherwise mix with this one's data.
  if (!c.emptiedThisOpening) {
    c.data.clear();
    c.emptiedThisOpening = true;
  }
  c.data[format] = std::move(data);
  return true;
}

const std::vector<uint8_t>* GetClipboardData(uint16_t format) {
  Clipboard& c = TheClipboard();
  std::lock_guard<std::mutex> lock(c.lock);
  auto it = c.data.find(format);
  return it == c.data.end() ? nullptr : &it->second;
}

bool IsClipboardFormatAvailable(uint16_t format) {
  return GetClipboardData(format) != nullptr;
}

}  // namespace os
