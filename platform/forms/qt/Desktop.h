// The run-time choice of a presenter: the forms as windows when an X display
// is reachable (an X server, or XWayland), else the headless presenters the
// application starts with.
#pragma once

#include "platform/forms/Forms.h"

namespace forms {

// Whether windows can be shown: TK_HEADLESS unset (or "0"), and either the
// offscreen platform asked for through QT_QPA_PLATFORM or an X display that
// accepts a connection. The display is probed before Qt starts, since Qt
// ends the program when it cannot connect.
bool DisplayReachable();

// Installs the desktop presenter on application when windows can be shown
// and the build has one; returns whether it did. Call it before the forms
// are created, so that every form is seen from its start.
bool UseDesktop(TApplication& application);

}  // namespace forms
