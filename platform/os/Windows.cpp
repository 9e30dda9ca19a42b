#include "platform/os/Windows.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/os/ProcessTable.h"
#include "platform/os/XWindows.h"
#include "platform/rtl/Handles.h"
#include "platform/rtl/SysUtils.h"

namespace os {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRecordMagic = "tarnwick-window 1";
// A message line is "<msg> <wparam>\n": two 64-bit numbers at most.
constexpr size_t kMaxMessageLine = 64;

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i >= s.size()) return false;
    if (s[i] == '\\')
      out += '\\';
    else if (s[i] == 'n')
      out += '\n';
    else if (s[i] == 'r')
      out += '\r';
    else
      return false;
  }
  return true;
}

template <typename T>
bool ParseNumber(const std::string& s, T& v) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && p == s.data() + s.size();
}

fs::path RecordPath(const fs::path& folder, HWND h) {
  return folder / (std::to_string(h) + ".win");
}
fs::path SocketPath(const fs::path& folder, HWND h) {
  return folder / (std::to_string(h) + ".sock");
}

bool FillSockAddr(const fs::path& p, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string s = p.string();
  if (s.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
  return true;
}

bool SendAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// ---- records -----------------------------------------------------------------

std::string FormatWindowRecord(const TWindowRecord& r) {
  std::string s = std::string(kRecordMagic) + "\n";
  s += "handle=" + std::to_string(r.Handle) + "\n";
  s += "pid=" + std::to_string(r.Pid) + "\n";
  s += "start=" + std::to_string(r.StartTime) + "\n";
  s += "exe=" + Escape(r.Exe) + "\n";
  s += "class=" + Escape(r.ClassName) + "\n";
  s += "title=" + Escape(r.Title) + "\n";
  s += "visible=" + std::string(r.Visible ? "1" : "0") + "\n";
  s += "parent=" + std::to_string(r.Parent) + "\n";
  s += "owner=" + std::to_string(r.Owner) + "\n";
  s += "style=" + std::to_string(r.Style) + "\n";
  s += "exstyle=" + std::to_string(r.ExStyle) + "\n";
  return s;
}

std::optional<TWindowRecord> ParseWindowRecord(const std::string& bytes) {
  if (bytes.size() > TWindowDirectory::kMaxRecordBytes) return std::nullopt;
  TWindowRecord r;
  bool haveHandle = false, havePid = false;
  size_t pos = 0;
  bool first = true;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) return std::nullopt;  // a record ends each line
    std::string line = bytes.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      if (line != kRecordMagic) return std::nullopt;
      first = false;
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    bool ok = true;
    if (key == "handle")
      ok = haveHandle = ParseNumber(value, r.Handle) && r.Handle != 0;
    else if (key == "pid")
      ok = havePid = ParseNumber(value, r.Pid) && r.Pid > 0;
    else if (key == "start")
      ok = ParseNumber(value, r.StartTime);
    else if (key == "exe")
      ok = Unescape(value, r.Exe);
    else if (key == "class")
      ok = Unescape(value, r.ClassName);
    else if (key == "title")
      ok = Unescape(value, r.Title);
    else if (key == "visible") {
      ok = value == "0" || value == "1";
      r.Visible = value == "1";
    } else if (key == "parent")
      ok = ParseNumber(value, r.Parent);
    else if (key == "owner")
      ok = ParseNumber(value, r.Owner);
    else if (key == "style")
      ok = ParseNumber(value, r.Style);
    else if (key == "exstyle")
      ok = ParseNumber(value, r.ExStyle);
    // Unknown keys are a later version's: skipped.
    if (!ok) return std::nullopt;
  }
  if (first || !haveHandle || !havePid) return std::nullopt;
  return r;
}

// ---- processes ---------------------------------------------------------------

uint64_t ProcessStartTime(int pid) {
  const auto stat = ReadProcStat(pid);
  return stat && stat->StartTime ? *stat->StartTime : 0;
}

bool ProcessAlive(int pid, uint64_t startTime) {
  const auto stat = ReadProcStat(pid);
  if (!stat || !stat->StartTime) return false;
  if (stat->State == 'Z' || stat->State == 'X') return false;
  return startTime == 0 || *stat->StartTime == startTime;
}

// ---- replies -----------------------------------------------------------------

struct TReply::State {
  rtl::TFileDescriptor fd;
  void Answer() {
    if (!fd.Valid()) return;
    SendAll(fd.Get(), "ok\n");
    fd.Reset();
  }
  ~State() { Answer(); }
};

TReply::TReply(int fd) : state_(std::make_shared<State>()) {
  state_->fd.Reset(fd);
}

void TReply::Done() {
  if (state_) state_->Answer();
}

// ---- the directory -----------------------------------------------------------

namespace {

std::mutex& DefaultLock() {
  static std::mutex m;
  return m;
}
std::unique_ptr<TWindowDirectory>& DefaultInstance() {
  static std::unique_ptr<TWindowDirectory> d;
  return d;
}
fs::path& DefaultOverride() {
  static fs::path p;
  return p;
}

}  // namespace

TWindowDirectory::TWindowDirectory(fs::path folder) : folder_(std::move(folder)) {}

TWindowDirectory::~TWindowDirectory() {
  std::vector<HWND> hs;
  for (const auto& [h, o] : own_) hs.push_back(h);
  for (HWND h : hs) DestroyWindow(h);
}

fs::path TWindowDirectory::DefaultFolder() {
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x == '/') return fs::path(x) / "tarnwick-windows";
  return fs::path("/tmp") / ("tarnwick-windows-" + std::to_string(::getuid()));
}

TWindowDirectory& TWindowDirectory::Default() {
  std::lock_guard<std::mutex> lock(DefaultLock());
  auto& d = DefaultInstance();
  if (!d)
    d = std::make_unique<TWindowDirectory>(DefaultOverride().empty() ? DefaultFolder() : DefaultOverride());
  return *d;
}

void TWindowDirectory::SetDefaultFolder(fs::path folder) {
  std::lock_guard<std::mutex> lock(DefaultLock());
  DefaultOverride() = std::move(folder);
  DefaultInstance().reset();
}

void TWindowDirectory::EnsureFolder() {
  std::error_code ec;
  if (folder_.has_parent_path()) fs::create_directories(folder_.parent_path(), ec);
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST)
    throw rtl::Exception("cannot create the window folder " + folder_.string() + ": " + std::strerror(errno));
  struct stat st {};
  if (::lstat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw rtl::Exception("the window folder " + folder_.string() + " is not a folder");
  // Another user's folder (or one others may write to) would let them read
  // our titles and send our windows commands.
  if (st.st_uid != ::getuid())
    throw rtl::Exception("the window folder " + folder_.string() + " belongs to another user");
  if ((st.st_mode & 077) != 0 && ::chmod(folder_.c_str(), 0700) != 0)
    throw rtl::Exception("the window folder " + folder_.string() + " is open to other users");
}

HWND TWindowDirectory::NextHandle() {
  const fs::path counter = folder_ / "counter";
  rtl::TFileDescriptor fd(::open(counter.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) throw rtl::Exception("cannot open " + counter.string() + ": " + std::strerror(errno));
  while (::flock(fd.Get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  char buf[32] = {};
  ssize_t n = ::pread(fd.Get(), buf, sizeof buf - 1, 0);
  HWND last = 0;
  if (n > 0) {
    std::string s(buf, static_cast<size_t>(n));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (!ParseNumber(s, last)) last = 0;
  }
  HWND h = last + 1;
  // A lost counter must not hand out a handle that is still taken.
  struct stat st {};
  while (::lstat(RecordPath(folder_, h).c_str(), &st) == 0 ||
         ::lstat(SocketPath(folder_, h).c_str(), &st) == 0)
    ++h;
  std::string out = std::to_string(h) + "\n";
  bool ok = ::ftruncate(fd.Get(), 0) == 0 &&
            ::pwrite(fd.Get(), out.data(), out.size(), 0) == static_cast<ssize_t>(out.size());
  ::flock(fd.Get(), LOCK_UN);
  fd.Reset();
  if (!ok) throw rtl::Exception("cannot write " + counter.string());
  return h;
}

void TWindowDirectory::WriteRecord(const TWindowRecord& r) {
  const fs::path final = RecordPath(folder_, r.Handle);
  const fs::path tmp = folder_ / (std::to_string(r.Handle) + ".tmp");
  rtl::TFileDescriptor fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.Valid()) throw rtl::Exception("cannot write " + tmp.string() + ": " + std::strerror(errno));
  const std::string s = FormatWindowRecord(r);
  bool ok = ::write(fd.Get(), s.data(), s.size()) == static_cast<ssize_t>(s.size());
  ok = fd.Close() && ok;
  // The rename makes a reader see the old record or the new one, never half.
  if (!ok || ::rename(tmp.c_str(), final.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw rtl::Exception("cannot write " + final.string());
  }
}

HWND TWindowDirectory::CreateWindow(TWindowRecord info, TMessageHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  EnsureFolder();
  const HWND h = NextHandle();
  const fs::path sock = SocketPath(folder_, h);
  sockaddr_un addr{};
  if (!FillSockAddr(sock, addr)) throw rtl::Exception("window folder path too long: " + sock.string());
  rtl::TFileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw rtl::Exception(std::string("cannot make a window socket: ") + std::strerror(errno));
  ::unlink(sock.c_str());
  // A window that is not made leaves no socket behind.
  rtl::TScopeGuard removeSocket([&] { ::unlink(sock.c_str()); });
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd.Get(), 16) != 0)
    throw rtl::Exception("cannot bind " + sock.string() + ": " + std::strerror(errno));
  info.Handle = h;
  info.Pid = static_cast<int>(::getpid());
  info.StartTime = ProcessStartTime(info.Pid);
  info.Exe = ExecutableOfProcess(::getpid(), true);
  WriteRecord(info);
  removeSocket.Dismiss();
  own_[h] = Own{std::move(info), std::move(handler), std::move(fd)};
  return h;
}

void TWindowDirectory::UpdateWindow(const TWindowRecord& info) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = own_.find(info.Handle);
  if (it == own_.end()) return;
  TWindowRecord r = info;
  r.Pid = it->second.record.Pid;
  r.StartTime = it->second.record.StartTime;
  r.Exe = it->second.record.Exe;
  it->second.record = r;
  WriteRecord(r);
}

void TWindowDirectory::DestroyWindow(HWND h) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = own_.find(h);
  if (it == own_.end()) return;
  // The record goes first: nobody finds a window whose socket is closed.
  ::unlink(RecordPath(folder_, h).c_str());
  it->second.listenFd.Reset();
  ::unlink(SocketPath(folder_, h).c_str());
  own_.erase(it);
}

void TWindowDirectory::PollMessages() {
  std::vector<std::pair<HWND, int>> listeners;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    for (const auto& [h, o] : own_) listeners.emplace_back(h, o.listenFd.Get());
  }
  for (const auto& [h, lfd] : listeners) {
    for (;;) {
      int cfd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (cfd < 0) break;  // EAGAIN: nothing more waits
      HandleConnection(h, rtl::TFileDescriptor(cfd));
      std::lock_guard<std::recursive_mutex> lock(mutex_);
      if (!own_.count(h)) break;  // the handler destroyed the window
    }
  }
}

void TWindowDirectory::HandleConnection(HWND h, rtl::TFileDescriptor fd) {
  std::string line;
  const int64_t deadline = NowMs() + kReadTimeoutMs;
  while (line.find('\n') == std::string::npos && line.size() <= kMaxMessageLine) {
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{fd.Get(), POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[kMaxMessageLine + 1];
    ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  size_t nl = line.find('\n');
  size_t sp = line.find(' ');
  uint32_t msg = 0;
  uint64_t wparam = 0;
  if (nl == std::string::npos || sp == std::string::npos || sp > nl ||
      !ParseNumber(line.substr(0, sp), msg) || !ParseNumber(line.substr(sp + 1, nl - sp - 1), wparam)) {
    return;  // not a message of ours: closed without an answer
  }
  TMessageHandler handler;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = own_.find(h);
    if (it != own_.end()) handler = it->second.handler;
  }
  TReply reply(fd.Release());
  if (handler) handler(msg, wparam, reply);
}

std::vector<TWindowRecord> TWindowDirectory::EnumWindows() {
  std::vector<TWindowRecord> out;
  DIR* d = ::opendir(folder_.c_str());
  if (!d) return out;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n.compare(n.size() - 4, 4, ".win") == 0) names.push_back(n);
  }
  ::closedir(d);
  for (const auto& n : names) {
    HWND h = 0;
    if (!ParseNumber(n.substr(0, n.size() - 4), h) || h == 0) continue;
    if (auto r = Find(h)) out.push_back(std::move(*r));
  }
  std::sort(out.begin(), out.end(),
            [](const TWindowRecord& a, const TWindowRecord& b) { return a.Handle < b.Handle; });
  return out;
}

std::optional<TWindowRecord> TWindowDirectory::Find(HWND h) {
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = own_.find(h);
    if (it != own_.end()) return it->second.record;
  }
  std::string bytes;
  // A record is ours to write only: a link under its name is not followed.
  if (rtl::ReadSmallFile(RecordPath(folder_, h), kMaxRecordBytes, bytes, !rtl::kFollowLinks) != 0)
    return std::nullopt;
  auto r = ParseWindowRecord(bytes);
  if (!r || r->Handle != h) return std::nullopt;
  if (!ProcessAlive(r->Pid, r->StartTime)) {
    // The process ended without taking its window away: clear it.
    ::unlink(RecordPath(folder_, h).c_str());
    ::unlink(SocketPath(folder_, h).c_str());
    return std::nullopt;
  }
  return r;
}

bool TWindowDirectory::SendMessage(HWND h, uint32_t msg, uint64_t wparam, int timeoutMs) {
  TMessageHandler local;
  bool isLocal = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    auto it = own_.find(h);
    if (it != own_.end()) {
      isLocal = true;
      local = it->second.handler;
    }
  }
  if (isLocal) {
    if (local) local(msg, wparam, TReply());
    return true;
  }
  auto rec = Find(h);
  if (!rec) return false;
  sockaddr_un addr{};
  if (!FillSockAddr(SocketPath(folder_, h), addr)) return false;
  rtl::TFileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return false;
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      !SendAll(fd.Get(), std::to_string(msg) + " " + std::to_string(wparam) + "\n"))
    return false;
  const int64_t deadline = NowMs() + timeoutMs;
  std::string got;
  bool answered = false;
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{fd.Get(), POLLIN, 0};
    // Wake now and then: a receiver that died without closing is noticed.
    int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 200)));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    if (r == 0) {
      if (!ProcessAlive(rec->Pid, rec->StartTime)) {
        answered = true;
        break;
      }
      continue;
    }
    char buf[16];
    ssize_t n = ::recv(fd.Get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Closed without a word: the receiver took the message and ended.
      answered = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
    if (got.find('\n') != std::string::npos) {
      answered = got.rfind("ok\n", 0) == 0;
      break;
    }
  }
  return answered;
}

// ---- the window system's calls ----------------------------------------------

namespace {

std::optional<TWindowRecord> Rec(HWND h) {
  if (!h) return std::nullopt;
  if (IsXWindowHandle(h)) return TXDisplay::Default().Find(h);
  return TWindowDirectory::Default().Find(h);
}

// An X client that is one of our own windows, shown: its directory record
// stands for it (the close that waits for an answer goes there).
bool InDirectory(const TWindowRecord& x, const std::vector<TWindowRecord>& own, TXDisplay& display) {
  for (const auto& r : own)
    if (r.Pid == x.Pid && r.Title == x.Title) return true;
  if (HWND named = display.DirectoryHandleOf(x.Handle))
    for (const auto& r : own)
      if (r.Handle == named) return true;
  return false;
}

}  // namespace

bool IsWindow(HWND h) {
  return Rec(h).has_value();
}
bool IsWindowVisible(HWND h) {
  auto r = Rec(h);
  return r && r->Visible;
}
std::string GetWindowText(HWND h) {
  auto r = Rec(h);
  return r ? r->Title : std::string();
}
std::string GetClassName(HWND h) {
  auto r = Rec(h);
  return r ? r->ClassName : std::string();
}
uint32_t GetWindowLong(HWND h, int index) {
  auto r = Rec(h);
  if (!r) return 0;
  switch (index) {
    case GWL_STYLE:
      return r->Style;
    case GWL_EXSTYLE:
      return r->ExStyle;
    case GWL_HWNDPARENT:
      return static_cast<uint32_t>(r->Owner);
    default:
      return 0;
  }
}
HWND GetParent(HWND h) {
  auto r = Rec(h);
  return r ? (r->Parent ? r->Parent : r->Owner) : 0;
}
HWND GetOwner(HWND h) {
  auto r = Rec(h);
  return r ? r->Owner : 0;
}
HWND GetLastActivePopup(HWND h) {
  return IsWindow(h) ? h : 0;
}
uint32_t GetWindowThreadProcessId(HWND h, uint32_t* pid) {
  auto r = Rec(h);
  uint32_t p = r ? static_cast<uint32_t>(r->Pid) : 0;
  if (pid) *pid = p;
  return p;
}
std::vector<TWindowRecord> AllWindows() {
  std::vector<TWindowRecord> all = TWindowDirectory::Default().EnumWindows();
  const size_t own = all.size();
  TXDisplay& display = TXDisplay::Default();
  for (auto& x : display.ClientWindows()) {
    std::vector<TWindowRecord> ours(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(own));
    if (!InDirectory(x, ours, display)) all.push_back(std::move(x));
  }
  return all;
}

void EnumWindows(const std::function<bool(HWND)>& fn) {
  for (const auto& r : AllWindows())
    if (!fn(r.Handle)) break;
}

bool SendMessage(HWND h, uint32_t msg, uint64_t wparam, int timeoutMs) {
  if (!IsXWindowHandle(h)) return TWindowDirectory::Default().SendMessage(h, msg, wparam, timeoutMs);
  // Another program's window takes one message of ours: the close.
  if (msg == WM_CLOSE || (msg == WM_SYSCOMMAND && wparam == SC_CLOSE))
    return TXDisplay::Default().CloseWindow(h, timeoutMs);
  return false;
}

}  // namespace os
