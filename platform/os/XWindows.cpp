#include "platform/os/XWindows.h"

#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/os/ProcessTable.h"
#include "platform/rtl/CodePages.h"

namespace os {

namespace {

// The atoms this source speaks, interned once per connection.
enum AtomId {
  aClientList,
  aWmName,
  aUtf8String,
  aWmPid,
  aWmState,
  aStateHidden,
  aStateSkipTaskbar,
  aWindowType,
  aTypeNormal,
  aTypeDialog,
  aCloseWindow,
  aSupportingWmCheck,
  aProtocols,
  aDeleteWindow,
  aDirectoryHandle,
  kAtomCount
};
const char* const kAtomNames[kAtomCount] = {"_NET_CLIENT_LIST",
                                            "_NET_WM_NAME",
                                            "UTF8_STRING",
                                            "_NET_WM_PID",
                                            "_NET_WM_STATE",
                                            "_NET_WM_STATE_HIDDEN",
                                            "_NET_WM_STATE_SKIP_TASKBAR",
                                            "_NET_WM_WINDOW_TYPE",
                                            "_NET_WM_WINDOW_TYPE_NORMAL",
                                            "_NET_WM_WINDOW_TYPE_DIALOG",
                                            "_NET_CLOSE_WINDOW",
                                            "_NET_SUPPORTING_WM_CHECK",
                                            "WM_PROTOCOLS",
                                            "WM_DELETE_WINDOW",
                                            kDirectoryHandleProperty};

// A property reply, freed with the object.
class Prop {
 public:
  Prop(xcb_connection_t* c, xcb_get_property_cookie_t cookie)
      : r_(xcb_get_property_reply(c, cookie, nullptr)) {}
  ~Prop() { std::free(r_); }
  Prop(const Prop&) = delete;
  Prop& operator=(const Prop&) = delete;

  bool Has() const { return r_ && r_->type != XCB_ATOM_NONE; }
  xcb_atom_t Type() const { return r_ ? r_->type : xcb_atom_t{XCB_ATOM_NONE}; }
  std::string Bytes() const {
    if (!Has() || r_->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(r_)),
                       static_cast<size_t>(xcb_get_property_value_length(r_)));
  }
  std::vector<uint32_t> Values() const {
    std::vector<uint32_t> v;
    if (!Has() || r_->format != 32) return v;
    auto* p = static_cast<const uint32_t*>(xcb_get_property_value(r_));
    v.assign(p, p + xcb_get_property_value_length(r_) / 4);
    return v;
  }

 private:
  xcb_get_property_reply_t* r_;
};

xcb_window_t XId(HWND h) {
  return static_cast<xcb_window_t>(h & 0xFFFFFFFFu);
}
HWND Handle(xcb_window_t w) {
  return kXWindowFlag | w;
}

std::string HostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

// A title as the system code page holds it: _NET_WM_NAME is UTF-8, the old
// WM_NAME of type STRING is Latin-1.
std::string TitleText(const std::string& bytes, bool utf8) {
  std::u16string wide;
  if (utf8) {
    wide = rtl::MultiByteToWide(bytes, rtl::CP_UTF8);
  } else {
    for (unsigned char ch : bytes) wide.push_back(static_cast<char16_t>(ch));
  }
  return rtl::WideToMultiByte(wide);
}

}  // namespace

struct TXDisplay::Conn {
  std::string name;
  xcb_connection_t* c = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t atoms[kAtomCount] = {};

  ~Conn() {
    if (c) xcb_disconnect(c);
  }
  xcb_atom_t operator[](AtomId id) const { return atoms[id]; }
  xcb_get_property_cookie_t Get(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, uint32_t longs) const {
    return xcb_get_property(c, 0, w, prop, type, 0, longs);
  }

  // The manager's check window names itself too; a property left behind
  // by a manager that has gone names a window that no longer does.
  bool WindowManagerPresent() const {
    auto v = Prop(c, Get(root, atoms[aSupportingWmCheck], XCB_ATOM_WINDOW, 1)).Values();
    if (v.empty() || v[0] == 0) return false;
    auto self = Prop(c, Get(v[0], atoms[aSupportingWmCheck], XCB_ATOM_WINDOW, 1)).Values();
    return !self.empty() && self[0] == v[0];
  }

  // The client windows: the window manager's list, or without one the
  // root's children that carry a title.
  std::vector<xcb_window_t> Clients() const {
    std::vector<xcb_window_t> out;
    if (WindowManagerPresent()) {
      for (uint32_t w : Prop(c, Get(root, atoms[aClientList], XCB_ATOM_WINDOW, kMaxClients)).Values())
        out.push_back(w);
      return out;
    }
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree) return out;
    xcb_window_t* kids = xcb_query_tree_children(tree);
    int n = std::min<int>(xcb_query_tree_children_length(tree), static_cast<int>(kMaxClients));
    std::vector<xcb_get_property_cookie_t> names;
    std::vector<xcb_get_window_attributes_cookie_t> attrs;
    for (int i = 0; i < n; ++i) {
      names.push_back(Get(kids[i], XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 1));
      attrs.push_back(xcb_get_window_attributes(c, kids[i]));
    }
    for (int i = 0; i < n; ++i) {
      Prop name(c, names[static_cast<size_t>(i)]);
      xcb_get_window_attributes_reply_t* a =
          xcb_get_window_attributes_reply(c, attrs[static_cast<size_t>(i)], nullptr);
      if (name.Has() && a && !a->override_redirect) out.push_back(kids[i]);
      std::free(a);
    }
    std::free(tree);
    return out;
  }
};

TXDisplay::TXDisplay(std::string display) : display_(std::move(display)) {}
TXDisplay::~TXDisplay() = default;

TXDisplay& TXDisplay::Default() {
  static TXDisplay* d = new TXDisplay();  // lives as long as the process
  return *d;
}

TXDisplay::Conn* TXDisplay::Connection() {
  std::string name = display_;
  if (name.empty()) {
    const char* env = std::getenv("DISPLAY");
    name = env ? env : "";
  }
  // The server went away, or DISPLAY names another one now.
  if (conn_ && (xcb_connection_has_error(conn_->c) || conn_->name != name)) conn_.reset();
  if (conn_) return conn_.get();
  if (name.empty()) return nullptr;
  auto conn = std::make_unique<Conn>();
  conn->name = name;
  int screen = 0;
  conn->c = xcb_connect(name.c_str(), &screen);
  if (xcb_connection_has_error(conn->c)) return nullptr;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn->c));
  for (int i = 0; i < screen && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return nullptr;
  conn->root = it.data->root;
  xcb_intern_atom_cookie_t cookies[kAtomCount];
  for (int i = 0; i < kAtomCount; ++i)
    cookies[i] =
        xcb_intern_atom(conn->c, 0, static_cast<uint16_t>(std::strlen(kAtomNames[i])), kAtomNames[i]);
  for (int i = 0; i < kAtomCount; ++i) {
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(conn->c, cookies[i], nullptr);
    conn->atoms[i] = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
  }
  conn_ = std::move(conn);
  return conn_.get();
}

// A connection whose server went away tells so only at its next request:
// the question is put once more on a fresh connection.
template <class F>
auto TXDisplay::Ask(F question) -> decltype(question(std::declval<Conn&>())) {
  for (int attempt = 0;; ++attempt) {
    Conn* conn = Connection();
    if (!conn) return {};
    auto answer = question(*conn);
    if (!xcb_connection_has_error(conn->c) || attempt > 0) return answer;
    conn_.reset();
  }
}

bool TXDisplay::Connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Connection() != nullptr;
}

bool TXDisplay::HasWindowManager() {
  std::lock_guard<std::mutex> lock(mutex_);
  Conn* conn = Connection();
  return conn && conn->WindowManagerPresent();
}

std::vector<TWindowRecord> TXDisplay::ClientWindows() {
  std::vector<xcb_window_t> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ids = Ask([](Conn& k) { return k.Clients(); });
  }
  std::vector<TWindowRecord> out;
  for (xcb_window_t w : ids)
    if (auto r = Read(Handle(w))) out.push_back(std::move(*r));
  return out;
}

bool TXDisplay::Listed(HWND h) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (xcb_window_t w : Ask([](Conn& k) { return k.Clients(); }))
    if (w == XId(h)) return true;
  return false;
}

std::optional<TWindowRecord> TXDisplay::Find(HWND h) {
  if (!IsXWindowHandle(h) || !Listed(h)) return std::nullopt;
  return Read(h);
}

std::optional<TWindowRecord> TXDisplay::Read(HWND h) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Ask([h](Conn& k) { return ReadWindow(k, h); });
}

std::optional<TWindowRecord> TXDisplay::ReadWindow(const Conn& k, HWND h) {
  const xcb_window_t w = XId(h);
  const uint32_t titleLongs = kMaxTitleBytes / 4;
  // Every question goes out before the first answer is read: one round trip.
  auto attrCookie = xcb_get_window_attributes(k.c, w);
  auto netName = k.Get(w, k[aWmName], k[aUtf8String], titleLongs);
  auto oldName = k.Get(w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, titleLongs);
  auto wmClass = k.Get(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 64);
  auto pid = k.Get(w, k[aWmPid], XCB_ATOM_CARDINAL, 1);
  auto machine = k.Get(w, XCB_ATOM_WM_CLIENT_MACHINE, XCB_GET_PROPERTY_TYPE_ANY, 64);
  auto state = k.Get(w, k[aWmState], XCB_ATOM_ATOM, 32);
  auto type = k.Get(w, k[aWindowType], XCB_ATOM_ATOM, 32);
  auto transient = k.Get(w, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
  xcb_get_window_attributes_reply_t* attrs = xcb_get_window_attributes_reply(k.c, attrCookie, nullptr);
  if (!attrs) {
    // Gone in between: the replies are read all the same, so none is left behind.
    for (auto cookie : {netName, oldName, wmClass, pid, machine, state, type, transient}) Prop(k.c, cookie);
    return std::nullopt;
  }
  const bool viewable = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
  std::free(attrs);

  TWindowRecord r;
  r.Handle = h;
  Prop pNet(k.c, netName), pOld(k.c, oldName);
  if (pNet.Has())
    r.Title = TitleText(pNet.Bytes(), true);
  else if (pOld.Type() == k[aUtf8String])
    r.Title = TitleText(pOld.Bytes(), true);
  else
    r.Title = TitleText(pOld.Bytes(), false);
  // WM_CLASS: the instance name, a zero byte, the class name.
  std::string cls = Prop(k.c, wmClass).Bytes();
  if (size_t z = cls.find('\0'); z != std::string::npos) cls = cls.substr(z + 1);
  if (size_t z = cls.find('\0'); z != std::string::npos) cls.resize(z);
  r.ClassName = cls;

  // The pid is the client's word, and names a process here only when the
  // client runs on this machine.
  Prop pPid(k.c, pid), pMachine(k.c, machine);
  auto pids = pPid.Values();
  const bool local = !pMachine.Has() || pMachine.Bytes() == HostName();
  if (local && !pids.empty() && pids[0] > 0 && pids[0] <= static_cast<uint32_t>(INT_MAX)) {
    r.Pid = static_cast<int>(pids[0]);
    r.StartTime = ProcessStartTime(r.Pid);
    r.Exe = ExecutableOfProcess(r.Pid, true);
  }

  bool hidden = false, skipTaskbar = false;
  for (uint32_t a : Prop(k.c, state).Values()) {
    hidden |= a == k[aStateHidden];
    skipTaskbar |= a == k[aStateSkipTaskbar];
  }
  auto types = Prop(k.c, type).Values();
  const xcb_atom_t kind = types.empty() ? k[aTypeNormal] : types[0];
  auto owner = Prop(k.c, transient).Values();
  if (!owner.empty() && owner[0] != 0 && owner[0] != k.root) r.Owner = Handle(owner[0]);
  // On a managed desktop a window on another workspace is unmapped too:
  // only the manager's hidden state means minimised there.
  r.Visible = !hidden && (viewable || k.WindowManagerPresent());

  if (kind == k[aTypeNormal] && !skipTaskbar) {
    r.Style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME;
  } else if (kind == k[aTypeDialog]) {
    r.Style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  } else {
    r.Style = WS_POPUP;
  }
  if (skipTaskbar) r.ExStyle = WS_EX_TOOLWINDOW;
  return r;
}

HWND TXDisplay::DirectoryHandleOf(HWND h) {
  if (!IsXWindowHandle(h)) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  Conn* conn = Connection();
  if (!conn) return 0;
  auto v = Prop(conn->c, conn->Get(XId(h), (*conn)[aDirectoryHandle], XCB_ATOM_CARDINAL, 2)).Values();
  if (v.empty()) return 0;
  return v.size() >= 2 ? (HWND{v[1]} << 32) | v[0] : HWND{v[0]};
}

bool TXDisplay::SetDirectoryHandle(HWND h, HWND directoryHandle) {
  if (!IsXWindowHandle(h)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Conn* conn = Connection();
  if (!conn) return false;
  const uint32_t halves[2] = {static_cast<uint32_t>(directoryHandle & 0xFFFFFFFFu),
                              static_cast<uint32_t>(directoryHandle >> 32)};
  // Checked, so that a window gone meanwhile leaves no error queued on a
  // connection that never reads its events.
  xcb_generic_error_t* error = xcb_request_check(
      conn->c, xcb_change_property_checked(conn->c, XCB_PROP_MODE_REPLACE, XId(h), (*conn)[aDirectoryHandle],
                                           XCB_ATOM_CARDINAL, 32, 2, halves));
  const bool ok = !error && !xcb_connection_has_error(conn->c);
  std::free(error);
  return ok;
}

bool TXDisplay::CloseWindow(HWND h, int timeoutMs) {
  if (!IsXWindowHandle(h) || !Listed(h)) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Conn* conn = Connection();
    if (!conn) return false;
    const xcb_window_t w = XId(h);
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    if (conn->WindowManagerPresent()) {
      // The manager closes it as its own close button would: time of the
      // request unknown, asked by a tool rather than the application.
      ev.type = (*conn)[aCloseWindow];
      ev.data.data32[0] = XCB_CURRENT_TIME;
      ev.data.data32[1] = 2;
      xcb_send_event(conn->c, 0, conn->root,
                     XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                     reinterpret_cast<const char*>(&ev));
    } else {
      // Without a manager only a client that takes the delete protocol is
      // asked; nothing is ever killed in its place.
      auto protocols = Prop(conn->c, conn->Get(w, (*conn)[aProtocols], XCB_ATOM_ATOM, 32)).Values();
      bool takesDelete = false;
      for (uint32_t a : protocols) takesDelete |= a == (*conn)[aDeleteWindow];
      if (!takesDelete) return false;
      ev.type = (*conn)[aProtocols];
      ev.data.data32[0] = (*conn)[aDeleteWindow];
      ev.data.data32[1] = XCB_CURRENT_TIME;
      xcb_send_event(conn->c, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
    }
    xcb_flush(conn->c);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (!Listed(h)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kClosePollMs));
  }
}

bool XDisplayReachable() {
  const char* env = std::getenv("DISPLAY");
  if (!env || !*env) return false;
  xcb_connection_t* c = xcb_connect(env, nullptr);
  bool ok = !xcb_connection_has_error(c);
  xcb_disconnect(c);
  return ok;
}

}  // namespace os
