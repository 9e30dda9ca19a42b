// Files dropped on a window. A desktop backend turns the desktop's
// drag-and-drop into a DeliverDrop call; tests call it directly.
//
// A window here is any object of this process that stands for one (a form
// or a control); the table only borrows the pointer as a key. A window takes
// drops only while it accepts files and has a drop procedure.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace os {

using TDropWindow = const void*;

struct TDropFiles {
  std::vector<std::string> Files;  // whole paths, in the order dropped
  int X = 0;                       // drop point in the window's client area
  int Y = 0;
};

using TDropProc = std::function<void(const TDropFiles& drop)>;

// Installs proc as the window's drop procedure and returns the one it
// replaces (empty when none). An empty proc removes the entry.
TDropProc SetDropProc(TDropWindow window, TDropProc proc);
// The window's drop procedure now (empty when none).
TDropProc DropProcOf(TDropWindow window);
// Whether the window takes drops (the no-drop cursor shows otherwise).
void DragAcceptFiles(TDropWindow window, bool accept);
bool DragAcceptsFiles(TDropWindow window);
// Delivers a drop: false, and no call, when the window does not take it.
bool DeliverDrop(TDropWindow window, const TDropFiles& drop);

}  // namespace os
