#include "controls/FindWin.h"

#include <algorithm>

#include "platform/forms/Forms.h"
#include "platform/os/ProcessTable.h"

namespace controls {

namespace {

bool TaskBarStyle(uint32_t style) {
  if (!(style & os::WS_POPUP)) return true;
  return (style & os::WS_MINIMIZEBOX) && (style & os::WS_SYSMENU) && !(style & os::WS_DISABLED);
}

}  // namespace

std::string TWinList::CutTitle(std::string s) {
  if (s.size() <= kMaxTitle) return s;
  size_t n = kMaxTitle;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  s.resize(n);
  return s;
}

TWinList::TWinList(rtl::TComponent* owner)
    : rtl::TComponent(owner), list_(std::make_unique<rtl::TStringList>(true)) {}

TWinList::~TWinList() {
  StopTimer();
}

void TWinList::SetEnableTimer(bool value) {
  if (value == enableTimer_) return;
  enableTimer_ = value;
  if (value)
    StartTimer();
  else
    StopTimer();
}

void TWinList::SetTimerIntval(int value) {
  if (value <= 0) {
    SetEnableTimer(false);
    timerIntval_ = value;
    return;
  }
  if (value == timerIntval_) return;
  timerIntval_ = value;
  if (pollerId_) timerStart_ = std::chrono::steady_clock::now();
}

void TWinList::StartTimer() {
  timerStart_ = std::chrono::steady_clock::now();
  if (pollerId_ || !forms::Application || timerIntval_ <= 0) return;
  pollerId_ = forms::Application->AddPoller([this] {
    auto due = timerStart_ + std::chrono::milliseconds(timerIntval_);
    if (std::chrono::steady_clock::now() >= due) TimerTick();
  });
}

void TWinList::StopTimer() {
  if (pollerId_ && forms::Application) forms::Application->RemovePoller(pollerId_);
  pollerId_ = 0;
}

void TWinList::TimerTick() {
  if (timerIntval_ <= 0) {
    StopTimer();
    return;
  }
  // The tick runs inside the message pump already: pending messages run on
  // its next round.
  RefreshList();
  if (rebuilt_ && OnChanged) OnChanged(this);
}

bool TWinList::Passes(os::HWND h) const {
  std::string title = os::GetWindowText(h);
  if (title.empty() && !EmptyNames) return false;
  bool visible = os::IsWindowVisible(h);
  if (WhatDoFind == id_VisOnly && !visible) return false;
  if (WhatDoFind == id_InvisOnly && visible) return false;
  if (!TaskBarSty) return true;
  if (os::GetOwner(h)) return false;
  if (TaskBarStyle(os::GetWindowLong(h, os::GWL_STYLE))) return true;
  os::HWND popup = os::GetLastActivePopup(h);
  return popup && TaskBarStyle(os::GetWindowLong(popup, os::GWL_STYLE));
}

void TWinList::RefreshList() {
  StopTimer();
  std::vector<os::HWND> handles;
  os::EnumWindows([&](os::HWND h) {
    if (Passes(h)) handles.push_back(h);
    return true;
  });
  if (everBuilt_ && handles == lastHandles_) {
    rebuilt_ = false;
  } else {
    everBuilt_ = true;
    lastHandles_ = handles;
    list_->Clear();
    // One snapshot of the processes for the whole rebuild.
    const os::TProcessSnapshot processes;
    for (os::HWND h : handles) {
      auto* info = new TWinInfo;
      info->WindowHandle = h;
      info->ThreadId = os::GetWindowThreadProcessId(h, &info->ProcessId);
      info->Style = os::GetWindowLong(h, os::GWL_STYLE);
      info->ExStyle = os::GetWindowLong(h, os::GWL_EXSTYLE);
      info->OwnerHandle = os::GetOwner(h);
      info->ClassName = os::GetClassName(h).substr(0, 100);
      info->OwnerTitle = info->OwnerHandle ? CutTitle(os::GetWindowText(info->OwnerHandle)) : "Desktop";
      if (info->OwnerTitle.empty()) info->OwnerTitle = "NoName";
      // Only a name read from the executable itself; a bare command name
      // may be cut short.
      if (const os::TProcessEntry* e = processes.Find(static_cast<pid_t>(info->ProcessId));
          e && !e->ExePath.empty())
        info->ExeFileName = e->ExeFile;
      list_->AddObject(CutTitle(os::GetWindowText(h)), info);
    }
    rebuilt_ = true;
  }
  if (enableTimer_) StartTimer();
}

os::HWND TWinList::WindowHandleAt(int i) const {
  auto* info = static_cast<TWinInfo*>(list_->Objects(i));
  return info ? info->WindowHandle : 0;
}

}  // namespace controls
