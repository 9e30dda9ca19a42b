// Top-level windows and their messages, shared by every process of the user.
//
// The window directory is a per-user folder ($XDG_RUNTIME_DIR/tarnwick-windows,
// else /tmp/tarnwick-windows-<uid>, mode 0700). Each top-level window of our
// programs is a record file "<handle>.win" there, beside a unix socket
// "<handle>.sock" on which the owning process takes messages. Handles come
// from a counter in the folder, so they never repeat and their order is the
// order of creation; enumeration lists windows in that order and drops (and
// clears away) those whose process is gone.
//
// A message sent to another process's window (a close command) is answered
// only when that process has handled it: its handler gets a reply object and
// the sender is released when the reply is done or dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/rtl/Handles.h"

namespace os {

using HWND = uint64_t;

// Window styles as this window system stores them.
enum : uint32_t {
  WS_POPUP = 1u << 0,
  WS_CAPTION = 1u << 1,
  WS_SYSMENU = 1u << 2,
  WS_MINIMIZEBOX = 1u << 3,
  WS_MAXIMIZEBOX = 1u << 4,
  WS_THICKFRAME = 1u << 5,
  WS_DISABLED = 1u << 6,
};
enum : uint32_t { WS_EX_TOOLWINDOW = 1u << 0, WS_EX_APPWINDOW = 1u << 1 };

// Messages that cross processes.
enum : uint32_t { WM_CLOSE = 1, WM_SYSCOMMAND = 2 };
enum : uint64_t { SC_CLOSE = 1 };

// GetWindowLong indexes.
enum { GWL_STYLE = 1, GWL_EXSTYLE = 2, GWL_HWNDPARENT = 3 };

struct TWindowRecord {
  HWND Handle = 0;
  std::string Title;
  std::string ClassName;
  bool Visible = false;
  HWND Parent = 0;
  HWND Owner = 0;
  uint32_t Style = 0;
  uint32_t ExStyle = 0;
  int Pid = 0;
  uint64_t StartTime = 0;  // the process's start, to tell a reused pid apart
  std::string Exe;         // full path of the owning process's executable
};

// Parses one record file; nullopt on anything malformed (the folder is
// shared, its files are read as untrusted bytes).
std::optional<TWindowRecord> ParseWindowRecord(const std::string& bytes);
std::string FormatWindowRecord(const TWindowRecord& r);

// Releases the sender of a message when done or when the last copy goes.
class TReply {
 public:
  TReply() = default;
  explicit TReply(int fd);
  // Answers the sender now; later calls do nothing.
  void Done();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

using TMessageHandler = std::function<void(uint32_t msg, uint64_t wparam, TReply reply)>;

class TWindowDirectory {
 public:
  // Messages and replies are a line each; a sender that takes longer than
  // this to deliver its line is dropped so the owner's pump never stalls.
  static constexpr int kReadTimeoutMs = 1000;
  // Record files above this size are not ours.
  static constexpr size_t kMaxRecordBytes = 16 * 1024;

  explicit TWindowDirectory(std::filesystem::path folder);
  ~TWindowDirectory();
  TWindowDirectory(const TWindowDirectory&) = delete;
  TWindowDirectory& operator=(const TWindowDirectory&) = delete;

  // The user's folder, as the header describes it.
  static std::filesystem::path DefaultFolder();
  // The directory of this process, made on first use in DefaultFolder()
  // or in the folder SetDefaultFolder named before.
  static TWindowDirectory& Default();
  static void SetDefaultFolder(std::filesystem::path folder);

  const std::filesystem::path& Folder() const { return folder_; }

  // Registers a window of this process; Handle, Pid, StartTime and Exe of
  // info are filled in. Raises rtl::Exception when the folder cannot be used.
  HWND CreateWindow(TWindowRecord info, TMessageHandler handler);
  // Rewrites the record (title, visibility, style) of an own window.
  void UpdateWindow(const TWindowRecord& info);
  void DestroyWindow(HWND h);

  // Takes the messages waiting on this process's windows and calls their
  // handlers; never blocks longer than one sender's line.
  void PollMessages();

  // Every live window, oldest first.
  std::vector<TWindowRecord> EnumWindows();
  std::optional<TWindowRecord> Find(HWND h);

  // Delivers msg to the window and waits until its process answered (or
  // timeoutMs passed, or the process is gone). A window of this process
  // gets the call directly. False when not delivered or not answered.
  bool SendMessage(HWND h, uint32_t msg, uint64_t wparam, int timeoutMs = 30000);

 private:
  struct Own {
    TWindowRecord record;
    TMessageHandler handler;
    rtl::TFileDescriptor listenFd;
  };
  void EnsureFolder();
  HWND NextHandle();
  void WriteRecord(const TWindowRecord& r);
  void HandleConnection(HWND h, rtl::TFileDescriptor fd);

  std::filesystem::path folder_;
  std::recursive_mutex mutex_;
  std::map<HWND, Own> own_;
};

// The window system's calls, over the default directory and, on an X
// display, the window manager's clients (platform/os/XWindows.h): the
// windows of other programs. A handle that names no live window gives
// empty texts and zeros.
bool IsWindow(HWND h);
bool IsWindowVisible(HWND h);
std::string GetWindowText(HWND h);
std::string GetClassName(HWND h);
uint32_t GetWindowLong(HWND h, int index);
HWND GetParent(HWND h);
HWND GetOwner(HWND h);
// The window itself: our programs keep their pop-ups modal and owned.
HWND GetLastActivePopup(HWND h);
// Our programs run their windows on the main thread: the thread id is the
// process id.
uint32_t GetWindowThreadProcessId(HWND h, uint32_t* pid);
// Every live top-level window: our programs' windows oldest first, then the
// other clients of the window manager in its order, each window once (one
// of ours that the display shows is listed by its directory record). Stops
// when fn returns false.
void EnumWindows(const std::function<bool(HWND)>& fn);
std::vector<TWindowRecord> AllWindows();
// Delivers msg to the window and waits as TWindowDirectory::SendMessage
// does. Another program's window takes only the close (WM_CLOSE, or
// WM_SYSCOMMAND with SC_CLOSE): it is asked to close and waited for until
// it went, or timeoutMs passed.
bool SendMessage(HWND h, uint32_t msg, uint64_t wparam, int timeoutMs = 30000);

// The calling process's start time as the window records hold it.
uint64_t ProcessStartTime(int pid);
// True when the process runs (not gone, not a zombie) and started at
// startTime (0: any start).
bool ProcessAlive(int pid, uint64_t startTime);

}  // namespace os
