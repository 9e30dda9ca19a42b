#include "setup/ProcessList.h"

namespace setup {

std::string ModuleNameOfProcess(pid_t pid, bool fullPath, const std::string& procFolder) {
  return os::ExecutableOfProcess(pid, fullPath, procFolder);
}

bool GetProcessList(rtl::TStringList& list, bool fullPath, const std::string& procFolder) {
  list.Clear();
  list.OwnsObjects = true;
  os::TProcessSnapshot snapshot(procFolder);
  if (!snapshot.Valid()) return false;
  for (const auto& e : snapshot.Entries()) {
    const std::string& name = fullPath ? e.ExePath : e.ExeFile;
    if (!name.empty()) list.AddObject(name, new TProcessId(e.Pid));
  }
  return true;
}

std::string ExePathOfWindow(os::HWND h, const std::string& procFolder) {
  if (!os::IsWindow(h)) return {};
  uint32_t pid = 0xFFFFFFFFu;
  os::GetWindowThreadProcessId(h, &pid);
  const os::TProcessSnapshot snapshot(procFolder);
  const os::TProcessEntry* e = snapshot.Find(static_cast<pid_t>(pid));
  return e && !e->ExePath.empty() && e->ExePath[0] == '/' ? e->ExePath : std::string();
}

}  // namespace setup
