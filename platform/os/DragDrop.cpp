#include "platform/os/DragDrop.h"

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
