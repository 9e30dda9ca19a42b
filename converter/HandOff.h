// The hand-off of a produced TIFF to the application the user chose: any
// program gets the file as its one argument; the filing application is
// started when its window is missing, waited for (with a limit), and given
// the file unless drag mode leaves that to the user's drag.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "controls/FindWin.h"
#include "platform/rtl/Classes.h"

namespace converter {

// How long the filing application may take to show its window.
inline constexpr int kFilingWaitLimitMs = 60000;
inline constexpr int kFilingPollMs = 100;
inline constexpr const char* kFilingWaitExpired = "Lumoraファイリングの起動を待ちきれませんでした";

// The filing application by the lower-cased file name of Launch.
bool IsFilingApplication(const std::string& launch);
// A title of the filing application's main window: it holds "Lumora" and
// "ファイリング" and not "Corvane☆", ignoring the case of letters.
bool IsFilingTitle(const std::string& title);
// Refreshes the list and looks for a visible, titled window without parent
// whose title is the filing application's.
bool FilingWindowPresent(controls::TWinList& list);

// The start of Launch failed ("<program>: <reason>" follows).
inline constexpr const char* kLaunchFailed = "アプリケーションを起動できませんでした";

// What became of one TIFF.
enum THandOffResult {
  hoNotAsked,       // no hand-off set, or not a file of this batch
  hoHanded,         // given to the application
  hoLeftToDrag,     // the filing application is open; drag mode leaves the file to the user
  hoNoApplication,  // DoLaunch is set but Launch names no file
  hoStartFailed,    // Launch could not be started
  hoWaitExpired,    // the filing application's window did not come in time
};

struct THandOffSettings {
  int DoLaunch = 0;
  std::string Launch;
  int DD = 0;
};

// Borrows the window list. The seams (start, clock, sleep, pump, status)
// default to the real ones.
class THandOff {
 public:
  explicit THandOff(controls::TWinList& list);

  // Hands tifPath over when DoLaunch is set, Launch names an existing file
  // and, when produced is given, tifPath is one of this batch's files. An
  // expired wait or a failed start also shows its text through SetStatus.
  THandOffResult HandOff(const THandOffSettings& s, const std::string& tifPath,
                         const rtl::TStrings* produced = nullptr);

  std::function<int(const std::string& file, const std::vector<std::string>& args, const std::string& dir)>
      Start;
  std::function<int64_t()> NowMs;
  std::function<void(int ms)> Sleep;
  std::function<void()> ProcessMessages;
  std::function<void(const std::string& text)> SetStatus;
  int WaitLimitMs = kFilingWaitLimitMs;

 private:
  controls::TWinList& list_;
};

}  // namespace converter
