// A foreign program's window for the desktop tests: one top-level X window
// with the given title, optionally a second one transient for it, shown
// until the window manager (or anyone) asks it to close.
//
//   tk_x_window --title T [--pid N] [--iconic] [--child T2] [--ready FILE]
//
// Without --title the title is TK_X_WINDOW_TITLE (so a copy started again
// by the program under test shows the same window), else "tk_x_window".
// --pid claims another process id in _NET_WM_PID (a client may lie);
// --iconic starts it minimised; --ready names a file that gets the window
// ids ("<main> <child>") once the windows are mapped. The program exits 0
// on WM_DELETE_WINDOW and 3 when its display goes away.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
  std::free(r);
  return a;
}

void SetText(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, const std::string& s) {
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, prop, type, 8, static_cast<uint32_t>(s.size()), s.data());
}

xcb_window_t MakeWindow(xcb_connection_t* c, xcb_screen_t* screen, const std::string& title, uint32_t pid,
                        bool iconic) {
  xcb_window_t w = xcb_generate_id(c);
  uint32_t values[] = {screen->white_pixel, XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 10, 10, 240, 120, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK,
                    values);
  SetText(c, w, Atom(c, "_NET_WM_NAME"), Atom(c, "UTF8_STRING"), title);
  SetText(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, title);
  SetText(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, std::string("tk_x_window\0TkXWindow\0", 22));
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, Atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1, &pid);
  xcb_atom_t del = Atom(c, "WM_DELETE_WINDOW");
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, Atom(c, "WM_PROTOCOLS"), XCB_ATOM_ATOM, 32, 1, &del);
  if (iconic) {
    // WM_HINTS: flags (StateHint), input, initial_state (IconicState), ...
    uint32_t hints[9] = {2, 0, 3, 0, 0, 0, 0, 0, 0};
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32, 9, hints);
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  const char* envTitle = std::getenv("TK_X_WINDOW_TITLE");
  std::string title = envTitle && *envTitle ? envTitle : "tk_x_window", child, ready;
  uint32_t pid = static_cast<uint32_t>(::getpid());
  bool iconic = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool more = i + 1 < argc;
    if (a == "--title" && more)
      title = argv[++i];
    else if (a == "--pid" && more)
      pid = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--child" && more)
      child = argv[++i];
    else if (a == "--ready" && more)
      ready = argv[++i];
    else if (a == "--iconic")
      iconic = true;
    else {
      std::fprintf(stderr, "tk_x_window: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "tk_x_window: no display\n");
    return 3;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  xcb_window_t top = MakeWindow(c, screen, title, pid, iconic);
  xcb_window_t second = 0;
  if (!child.empty()) {
    second = MakeWindow(c, screen, child, pid, false);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, second, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1,
                        &top);
  }
  xcb_atom_t protocols = Atom(c, "WM_PROTOCOLS");
  xcb_atom_t del = Atom(c, "WM_DELETE_WINDOW");
  xcb_map_window(c, top);
  if (second) xcb_map_window(c, second);
  xcb_flush(c);
  if (!ready.empty()) {
    std::string tmp = ready + ".part";
    std::ofstream(tmp) << top << " " << second << "\n";
    std::rename(tmp.c_str(), ready.c_str());
  }
  while (xcb_generic_event_t* e = xcb_wait_for_event(c)) {
    bool close = false;
    if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
      auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
      close = m->type == protocols && m->data.data32[0] == del;
    }
    std::free(e);
    if (close) {
      xcb_disconnect(c);
      return 0;
    }
  }
  xcb_disconnect(c);
  return 3;
}
