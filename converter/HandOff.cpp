#include "converter/HandOff.h"

#include "platform/forms/Forms.h"
#include "platform/os/ShellApi.h"
#include "platform/os/Windows.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

bool IsFilingApplication(const std::string& launch) {
  const std::string name = rtl::AnsiLowerCase(rtl::ExtractFileName(launch));
  return name == "lumora_filing.exe" || name == "lumora_filing";
}

bool IsFilingTitle(const std::string& title) {
  const std::string t = rtl::AnsiLowerCase(title);
  return t.find(rtl::AnsiLowerCase("Lumora")) != std::string::npos &&
         t.find(rtl::AnsiLowerCase("ファイリング")) != std::string::npos &&
         t.find(rtl::AnsiLowerCase("Corvane☆")) == std::string::npos;
}

bool FilingWindowPresent(controls::TWinList& list) {
  list.RefreshList();
  for (int i = 0; i < list.WindowList().Count(); ++i) {
    os::HWND h = list.WindowHandleAt(i);
    std::string title = os::GetWindowText(h);
    if (title.empty() || os::GetParent(h) || !os::IsWindowVisible(h)) continue;
    if (IsFilingTitle(controls::TWinList::CutTitle(title))) return true;
  }
  return false;
}

THandOff::THandOff(controls::TWinList& list) : list_(list) {
  Start = [](const std::string& f, const std::vector<std::string>& a, const std::string& d) {
    return os::ShellExecute(f, a, d);
  };
  NowMs = [] { return static_cast<int64_t>(rtl::GetTickCount64()); };
  Sleep = [](int ms) { rtl::Sleep(static_cast<uint32_t>(ms)); };
  ProcessMessages = [] {
    if (forms::Application) forms::Application->ProcessMessages();
  };
}

THandOffResult THandOff::HandOff(const THandOffSettings& s, const std::string& tifPath,
                                 const rtl::TStrings* produced) {
  if (!s.DoLaunch || s.Launch.empty()) return hoNotAsked;
  // Only what this batch made: a failed conversion must not pass an older
  // file of the same name.
  if (produced && produced->IndexOf(tifPath) < 0) return hoNotAsked;
  if (!rtl::FileExists(s.Launch)) return hoNoApplication;
  const std::string dir = rtl::ExtractFilePath(s.Launch);
  auto start = [&](const std::vector<std::string>& args) {
    const int error = Start(s.Launch, args, dir);
    if (error != 0 && SetStatus) SetStatus(kLaunchFailed);
    return error == 0;
  };
  if (!IsFilingApplication(s.Launch)) return start({tifPath}) ? hoHanded : hoStartFailed;
  if (!FilingWindowPresent(list_)) {
    if (!start({})) return hoStartFailed;
    const int64_t deadline = NowMs() + WaitLimitMs;
    while (!FilingWindowPresent(list_)) {
      if (NowMs() >= deadline) {
        if (SetStatus) SetStatus(kFilingWaitExpired);
        return hoWaitExpired;
      }
      if (ProcessMessages) ProcessMessages();
      Sleep(kFilingPollMs);
    }
  }
  if (s.DD != 0) return hoLeftToDrag;
  return start({tifPath}) ? hoHanded : hoStartFailed;
}

}  // namespace converter
