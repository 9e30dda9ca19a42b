// Other programs' top-level windows on an X display: the window manager's
// clients (_NET_CLIENT_LIST), read through xcb.
//
// The display is the one DISPLAY names; without it, or when its server
// cannot be reached, there are no such windows and nothing fails. The
// connection is opened on first use and opened again after the server
// went away. Every question reads the window's properties afresh.
//
// A client window's handle is its X window id with kXWindowFlag set, so it
// never meets a handle of the window directory (a small counter).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/os/Windows.h"

namespace os {

constexpr HWND kXWindowFlag = HWND{1} << 32;

inline bool IsXWindowHandle(HWND h) {
  return (h & ~HWND{0xFFFFFFFFu}) == kXWindowFlag;
}

// The X property on our own programs' windows that names their window
// directory handle, so the two lists give each of them once.
inline constexpr const char* kDirectoryHandleProperty = "_TARNWICK_WINDOW_HANDLE";

class TXDisplay {
 public:
  // Titles are read up to this many bytes (a client's property is untrusted).
  static constexpr uint32_t kMaxTitleBytes = 4096;
  // A window manager lists at most this many clients here.
  static constexpr uint32_t kMaxClients = 4096;
  // How often a close request looks whether the window has gone.
  static constexpr int kClosePollMs = 20;

  // An empty name means DISPLAY.
  explicit TXDisplay(std::string display = {});
  ~TXDisplay();
  TXDisplay(const TXDisplay&) = delete;
  TXDisplay& operator=(const TXDisplay&) = delete;

  // The process's display (DISPLAY), made on first use.
  static TXDisplay& Default();

  // True when the server answers (connecting when not connected yet).
  bool Connected();
  // True when a window manager announces itself (_NET_SUPPORTING_WM_CHECK).
  bool HasWindowManager();

  // The window manager's clients in its list's order; their records carry
  // title (converted to the system code page), class, visibility, owner
  // (the window a dialog is transient for), style, pid and start time.
  std::vector<TWindowRecord> ClientWindows();
  std::optional<TWindowRecord> Find(HWND h);
  // The directory handle our own programs put on their windows; 0 when
  // the window carries none.
  HWND DirectoryHandleOf(HWND h);
  // Puts that handle on one of our own windows (h: its X handle), low half
  // first. False when the display cannot be reached.
  bool SetDirectoryHandle(HWND h, HWND directoryHandle);

  // Asks the window to close (through the window manager, or straight to
  // the client without one) and waits up to timeoutMs for it to go. True
  // when it went.
  bool CloseWindow(HWND h, int timeoutMs);

 private:
  struct Conn;
  Conn* Connection();
  bool Listed(HWND h);
  std::optional<TWindowRecord> Read(HWND h);
  static std::optional<TWindowRecord> ReadWindow(const Conn& k, HWND h);
  template <class F>
  auto Ask(F question) -> decltype(question(std::declval<Conn&>()));

  std::string display_;
  std::mutex mutex_;
  std::unique_ptr<Conn> conn_;
};

// True when an X server answers on DISPLAY: a program asks before it starts
// anything that would abort without one.
bool XDisplayReachable();

}  // namespace os
