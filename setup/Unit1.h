// The setup utility's window and its two runs. The setup run closes a
// running converter, points the converter at the installed filing
// application (launch settings), and registers the converter as a user
// application of the scanner software; the removal run takes that entry out
// again. The scanner software reads its configuration only when it starts,
// so it is closed before its file is edited and started again afterwards.
// Every step adds its lines to the memo.
//
// Ownership: the application owns the form, the form its controls and its
// window list. The seams (start, clock, sleep, pump, proc folder) default
// to the real ones; the folders come from the platform's own seams (the
// executable's path, the application-data folder, the registry folder, the
// window directory).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "controls/FindWin.h"
#include "platform/forms/Buttons.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/FileCtrl.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"
#include "setup/Rw_ini.h"

namespace setup {

inline constexpr const char* kMainCaption = "簡単設定(Tarnwick)";
inline constexpr const char* kApplicationTitle = "Pellwick";
// The converter's main window and the name it is registered under.
inline constexpr const char* kConverterTitle = "Corvane☆ for Lumoraファイリング";
inline constexpr const char* kConverterCommand = "%M";
inline constexpr const char* kScannerTitle = "ScanSnap Manager";
// Under the application-data folder.
inline constexpr const char* kScannerConfigFolder = "PFU/ScanSnap";
inline constexpr const char* kScannerConfigMask = "pfussmon*.cfg";

// The filing application's key per version, newest first; value FullPath.
inline constexpr const char* kFilingKeyPrefix = "SOFTWARE\\Quenlab\\Lumoraファイリング\\";
inline constexpr int kFilingNewestVersion = 16;
inline constexpr int kFilingOldestVersion = 5;
inline constexpr const char* kFilingValue = "FullPath";

// How long a closed window may take to go away. A program that keeps its
// window past this would write its own settings over ours when it does
// close, so the run stops instead of editing them.
inline constexpr int kCloseWaitLimitMs = 60000;
inline constexpr int kClosePollMs = 100;

// The lines that end a run in place of its line of success, one for each
// thing it set out to do and did not; and the program's exit status then.
inline constexpr const char* kLaunchNotDone = "☆Lumoraファイリングの設定は記録していません";
inline constexpr const char* kRegisterNotDone = "☆ScanSnapへの登録はしていません";
inline constexpr const char* kRemoveNotDone = "☆ScanSnapの登録は解除していません";
inline constexpr const char* kRestartNotDone = "☆ScanSnapManagerは起動していません";
inline constexpr int kFailedRunExitCode = 1;

inline const std::vector<std::string> kIntroduction = {
    "【Corvane】",
    "■簡単設定Ｖｅｒ１．００へようこそ！！■",
    "☆実行にあたっては",
    "「Lumoraファイリング」「ScanSanp」",
    "がインストールされていることが必要です",
    "まだの場合はそちらのインストールを先に行ってください",
    "このソフトはその後に起動してください",
    "☆注意☆",
    "このソフトは「Lumoraファイリング」「ScanSanp」の設定を読み込みます",
    "そのため相手のＶｅｒよってできない場合があります",
    "その場合手動設定で行うことが可能です",
    "レジストリ書き込みは行いませんので実行は安全です",
    "☆準備ができたら開始ボタンを押してください",
    "",
};

class TForm1 : public forms::TForm {
 public:
  explicit TForm1(rtl::TComponent* owner);
  ~TForm1() override;

  void FormCreate(rtl::TComponent* Sender);
  // The setup run when RadioButton1 is checked, else the removal run. An
  // error outside the registry lookup ends the run with an exception; the
  // memo keeps the lines written so far. A run ends with "☆設定が完了しました"
  // only when it did all it set out to do; otherwise with a line for each
  // thing it did not do, and the application's exit status says failure.
  // The button is disabled while a run waits for other programs; a press
  // during a run is ignored. A close of the window or a termination signal
  // during such a wait stops the run there, as not done.
  void SpeedButton1Click(rtl::TComponent* Sender);
  bool LastRunDone() const { return lastRunDone_; }

  // Refreshes the window list and gives the first window (in list order)
  // whose title holds text, ignoring the case of letters; 0 when none.
  os::HWND FindWindowByTitle(const std::string& text);

  forms::TMemo* Memo1 = nullptr;
  forms::TRadioGroup* RadioGroup1 = nullptr;
  forms::TRadioButton* RadioButton1 = nullptr;
  forms::TRadioButton* RadioButton2 = nullptr;
  forms::TSpeedButton* SpeedButton1 = nullptr;
  forms::TFileListBox* FileListBox1 = nullptr;
  controls::TWinList* WinList1 = nullptr;

  // Seams.
  std::function<int(const std::string& file, const std::vector<std::string>& args, const std::string& dir)>
      Start;
  std::function<int64_t()> NowMs;
  std::function<void(int ms)> Sleep;
  std::function<void()> ProcessMessages;
  std::string ProcFolder;
  int CloseWaitLimitMs = kCloseWaitLimitMs;

 private:
  // Each gives false when it stopped before its end (a window that would
  // not close); what it did not do is left in notDone_.
  bool SetupRun();
  bool RemovalRun();
  // The run's last lines and the exit status.
  void EndRun(bool ended);
  // One thing the run set out to do is done.
  void Done(const char* aim);
  void Log(const std::string& line);
  // Closes every window whose title holds title; false when one is still
  // there at the limit, or the program is ending (the memo says so).
  bool CloseWindowByTitle(const std::string& title, const std::string& message);
  // The filing application's executable from the newest version's key
  // that names an existing file; "" when none.
  std::string FindFilingApplication();
  // Closes the scanner software, remembering its executable; false when it
  // would not close.
  bool StopScanner();
  void RestartScanner();
  // Reads the newest configuration file and lets edit change it; true when
  // there is none, else what edit gave. A file the user made read-only, one
  // that cannot be read and a table whose count is not what the table can
  // hold are said and left alone (false), and so is a folder that cannot
  // be listed.
  bool EditConfig(const std::function<bool(TScannerConfig& config)>& edit);
  // Stops the scanner software, edits its configuration, and starts it
  // again, also when the edit fails; aim is done when the edit gave true.
  // False when the scanner software would not close.
  bool EditScannerConfig(const std::function<bool(TScannerConfig& config)>& edit, const char* aim);
  // The entry of the converter in the table, or -1.
  int FindConverterEntry(int count) const;

  bool running_ = false;
  // What the run in progress has not done yet.
  std::vector<std::string> notDone_;
  bool lastRunDone_ = false;
  std::string converterPath_;
  std::string scannerPath_;
  // We closed the scanner software in this run.
  bool scannerStopped_ = false;
  std::string configFile_;
};

}  // namespace setup
