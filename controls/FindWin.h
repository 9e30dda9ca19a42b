// The list of the desktop's top-level windows (of the window directory),
// rebuilt on request or by a timer when the set of windows has changed.
//
// Each instance keeps its own enumeration state. The list holds any number
// of windows; a change is a change of the ordered sequence of handles, so a
// window retitled in between keeps its old line until the set changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/forms/Controls.h"
#include "platform/os/Windows.h"
#include "platform/rtl/Classes.h"

namespace controls {

enum TFind_ID { id_All, id_VisOnly, id_InvisOnly };

// One listed window; owned by the line of WindowList that carries it.
class TWinInfo : public rtl::TObject {
 public:
  os::HWND OwnerHandle = 0;
  os::HWND WindowHandle = 0;
  uint32_t ThreadId = 0;
  std::string OwnerTitle;  // "Desktop" without owner, "NoName" for an empty title
  std::string ClassName;
  std::string ExeFileName;  // from the refresh's process snapshot; empty when not found
  uint32_t ProcessId = 0;
  uint32_t Style = 0;
  uint32_t ExStyle = 0;
};

class TWinList : public rtl::TComponent {
 public:
  // The window system's title buffer: titles are listed up to this length.
  static constexpr size_t kMaxTitle = 254;
  // A title as the list holds it: cut to kMaxTitle bytes without splitting
  // a multi-byte character.
  static std::string CutTitle(std::string title);

  explicit TWinList(rtl::TComponent* owner = nullptr);
  ~TWinList() override;

  std::string About() const { return {}; }
  void SetAbout(const std::string&) {}  // writes are ignored

  // One line per window: its title, with its TWinInfo as the line's object.
  rtl::TStringList& WindowList() { return *list_; }
  const rtl::TStringList& WindowList() const { return *list_; }

  bool EnableTimer() const { return enableTimer_; }
  void SetEnableTimer(bool value);
  int TimerIntval() const { return timerIntval_; }
  void SetTimerIntval(int value);

  // Re-enumerates and rebuilds the list when the set of windows changed.
  virtual void RefreshList();
  // The window of line i; an index outside the list raises EStringListError.
  os::HWND WindowHandleAt(int i) const;
  // Whether the last refresh rebuilt the list.
  bool Rebuilt() const { return rebuilt_; }

  // The timer's tick (the application's message pump calls it when due).
  void TimerTick();

  TFind_ID WhatDoFind = id_VisOnly;
  bool EmptyNames = false;
  bool TaskBarSty = true;
  forms::TNotifyEvent OnChanged;

 private:
  bool Passes(os::HWND h) const;
  void StartTimer();
  void StopTimer();

  std::unique_ptr<rtl::TStringList> list_;
  std::vector<os::HWND> lastHandles_;
  bool everBuilt_ = false;
  bool rebuilt_ = true;
  bool enableTimer_ = false;
  int timerIntval_ = 500;
  int pollerId_ = 0;
  std::chrono::steady_clock::time_point timerStart_;
};

}  // namespace controls
