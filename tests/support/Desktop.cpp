#include "support/Desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace tk::test {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The environment of this process with the given names set anew.
std::vector<std::string> EnvironWith(const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced |= entry.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (auto& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// The end of a log, for the reason a start failed (the log goes with the
// scratch folder).
std::string Tail(const std::string& log) {
  std::string text;
  try {
    text = ReadFileBytes(log);
  } catch (const std::exception&) {
  }
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

void Stop(int& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  WaitProcess(pid, 3000);
  pid = 0;
}

}  // namespace

bool WindowManagerRunning(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  bool running = false;
  if (!xcb_connection_has_error(c)) {
    const char* name = "_NET_SUPPORTING_WM_CHECK";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    if (atom && atom->atom != XCB_ATOM_NONE) {
      xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
      xcb_get_property_reply_t* prop =
          xcb_get_property_reply(c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
      if (prop) {
        running = xcb_get_property_value_length(prop) == 4 &&
                  *static_cast<const uint32_t*>(xcb_get_property_value(prop)) != 0;
        std::free(prop);
      }
    }
    std::free(atom);
  }
  xcb_disconnect(c);
  return running;
}

namespace {

xcb_atom_t InternAtom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(r);
  return a;
}

bool ClientListHas(xcb_connection_t* c, xcb_window_t root, xcb_atom_t list, xcb_window_t w) {
  xcb_get_property_reply_t* prop =
      xcb_get_property_reply(c, xcb_get_property(c, 0, root, list, XCB_ATOM_WINDOW, 0, 4096), nullptr);
  bool found = false;
  if (prop) {
    auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(prop));
    int n = xcb_get_property_value_length(prop) / 4;
    for (int i = 0; i < n && !found; ++i) found = ids[i] == w;
    std::free(prop);
  }
  return found;
}

}  // namespace

// The window manager announces itself before it takes new windows: a window
// mapped in between is never managed. So a probe window is mapped (again,
// while it is not taken) until the manager lists it.
bool WindowManagerManaging(const std::string& display, int timeoutMs) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  bool managed = false;
  if (!xcb_connection_has_error(c)) {
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_atom_t list = InternAtom(c, "_NET_CLIENT_LIST");
    xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!managed && Clock::now() < deadline) {
      xcb_unmap_window(c, w);
      xcb_map_window(c, w);
      xcb_flush(c);
      for (int i = 0; i < 10 && !managed; ++i) {
        ::usleep(20 * 1000);
        managed = ClientListHas(c, screen->root, list, w);
      }
    }
    xcb_destroy_window(c, w);
    xcb_flush(c);
  }
  xcb_disconnect(c);
  return managed;
}

TestDesktop::TestDesktop() : home_(std::make_unique<ScratchDir>()) {
  if (!HaveTool("Xvfb")) {
    why_ = "Xvfb is not installed";
    return;
  }
  if (!HaveTool("openbox")) {
    why_ = "openbox is not installed";
    return;
  }
  if (!StartServer()) return;
  // A window manager that came too early to a server still settling gives
  // up at once: it gets a few tries.
  for (int attempt = 0; attempt < kWindowManagerTries; ++attempt) {
    if (StartWindowManager()) return;
    ::usleep(200 * 1000);
  }
  Stop(serverPid_);
  display_.clear();
}

TestDesktop::TestDesktop(std::string display) {
  if (WindowManagerRunning(display) && WindowManagerManaging(display, kStartTimeoutMs))
    display_ = std::move(display);
  else
    why_ = "no window manager on TK_TEST_DISPLAY=" + display;
}

TestDesktop::~TestDesktop() {
  Stop(wmPid_);
  Stop(serverPid_);
}

void TestDesktop::StopWindowManager() {
  Stop(wmPid_);
}

TestDesktop& TestDesktop::Shared() {
  struct Holder {
    std::unique_ptr<TestDesktop> desk;
    pid_t owner = ::getpid();
    Holder() {
      const char* ci = std::getenv("TK_TEST_DISPLAY");
      desk.reset(ci && *ci ? new TestDesktop(std::string(ci)) : new TestDesktop());
    }
    // A forked child must not stop the parent's server.
    ~Holder() {
      if (::getpid() != owner) (void)desk.release();
    }
  };
  static Holder holder;
  return *holder.desk;
}

TestDesktop& TestDesktop::Private() {
  struct Holder {
    std::unique_ptr<TestDesktop> desk = std::make_unique<TestDesktop>();
    pid_t owner = ::getpid();
    // A forked child must not stop the parent's server.
    ~Holder() {
      if (::getpid() != owner) (void)desk.release();
    }
  };
  static Holder holder;
  return *holder.desk;
}

bool TestDesktop::StartServer() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why_ = "pipe failed";
    return false;
  }
  std::string log = (home_->path() / "Xvfb.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The server writes the number it took to this descriptor once it listens.
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  std::vector<std::string> argv = {"Xvfb",         "-displayfd", "3",   "-screen", "0",
                                   "1280x1024x24", "-nolisten",  "tcp", "-noreset"};
  std::vector<char*> args = Pointers(argv);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    why_ = "Xvfb could not be started";
    return false;
  }
  serverPid_ = pid;
  std::string number;
  auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (number.find('\n') == std::string::npos) {
    pollfd p = {fds[0], POLLIN, 0};
    if (::poll(&p, 1, MsLeft(deadline)) <= 0) break;
    char buf[32];
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    Stop(serverPid_);
    why_ = "Xvfb did not report its display: " + Tail(log);
    return false;
  }
  number.resize(number.find('\n'));
  display_ = ":" + number;
  return true;
}

bool TestDesktop::StartWindowManager() {
  // Its settings and cache stay in the scratch folder, not the user's home.
  const std::string home = home_->path().string();
  std::vector<std::string> env = EnvironWith({{"DISPLAY", display_},
                                              {"HOME", home},
                                              {"XDG_CONFIG_HOME", home + "/config"},
                                              {"XDG_CACHE_HOME", home + "/cache"},
                                              {"XDG_DATA_HOME", home + "/data"}});
  std::string log = home + "/openbox.log";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> argv = {"openbox", "--sm-disable"};
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    why_ = "openbox could not be started";
    return false;
  }
  wmPid_ = pid;
  int exitCode = 0;
  bool ended = false;
  bool up = WaitFor(
      [&] {
        ended = TryWaitProcess(wmPid_, exitCode);
        return ended || WindowManagerRunning(display_);
      },
      kStartTimeoutMs);
  if (up && !ended) up = WindowManagerManaging(display_, kStartTimeoutMs);
  if (!up || ended) {
    if (ended)
      wmPid_ = 0;
    else
      Stop(wmPid_);
    why_ = "openbox did not come up on " + display_ + ": " + Tail(log);
    return false;
  }
  return true;
}

}  // namespace tk::test
