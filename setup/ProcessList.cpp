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
  rtl::TStringList list(true);
  if (!GetProcessList(list, true, procFolder)) return {};
  for (int i = 0; i < list.Count(); ++i) {
    auto* id = static_cast<TProcessId*>(list.Objects(i));
    if (static_cast<uint32_t>(id->Pid) != pid) continue;
    const std::string& path = list.Strings(i);
    return !path.empty() && path[0] == '/' ? path : std::string();
  }
  return {};
}

}  // namespace setup
