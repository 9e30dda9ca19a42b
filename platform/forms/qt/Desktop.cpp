#include "platform/forms/qt/Desktop.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef TK_HAVE_QT
#include <xcb/xcb.h>

#include "platform/forms/qt/QtPresenter.h"
#endif

namespace forms {

bool DisplayReachable() {
#ifdef TK_HAVE_QT
  const char* headless = std::getenv("TK_HEADLESS");
  if (headless && *headless && std::strcmp(headless, "0") != 0) return false;
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && std::strcmp(platform, "offscreen") == 0) return true;
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return false;
  int screen = 0;
  xcb_connection_t* c = xcb_connect(display, &screen);
  const bool ok = c && xcb_connection_has_error(c) == 0;
  if (c) xcb_disconnect(c);
  return ok;
#else
  return false;
#endif
}

bool UseDesktop(TApplication& application) {
#ifdef TK_HAVE_QT
  if (!DisplayReachable()) return false;
  // The display found is an X one: Qt must not try another platform first.
  ::setenv("QT_QPA_PLATFORM", "xcb", 0);
  application.SetPresenter(std::make_unique<TQtPresenter>(TQtPresenter::TStart::WithFirstWindow));
  return true;
#else
  (void)application;
  return false;
#endif
}

}  // namespace forms
