// The running processes by name or executable path, and the executable of
// the process that owns a window: how the setup utility learns where the
// scanner software lies, so that it can start it again after closing it.
//
// Every question reads the process table afresh (os::TProcessSnapshot); the
// proc folder is a parameter so that tests can give a made-up one.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/os/ProcessTable.h"
#include "platform/os/Windows.h"
#include "platform/rtl/Classes.h"

namespace setup {

// The object of a line of a process list.
class TProcessId : public rtl::TObject {
 public:
  explicit TProcessId(pid_t pid) : Pid(pid) {}
  const pid_t Pid;
};

// The executable of the process: its full path when fullPath, else its file
// name; empty when the process does not exist or may not be asked.
std::string ModuleNameOfProcess(pid_t pid, bool fullPath, const std::string& procFolder = os::kProcFolder);

// Clears list and fills it with one line per process, in increasing process
// id: its executable's full path when fullPath, else its file name (or the
// process's command name when the executable may not be read); a line with
// an empty text is left out. The list owns the TProcessId objects it gets.
// False when the table cannot be read.
bool GetProcessList(rtl::TStringList& list, bool fullPath, const std::string& procFolder = os::kProcFolder);

// The full path of the executable of the process that owns the window;
// empty when h is no window, its process is not listed, or only a bare name
// is known (a bare name would start whatever program of that name is found).
std::string ExePathOfWindow(os::HWND h, const std::string& procFolder = os::kProcFolder);

}  // namespace setup
