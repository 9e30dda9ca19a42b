#include "setup/Unit1.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <vector>

#include "platform/os/KnownFolders.h"
#include "platform/os/Registry.h"
#include "platform/os/ShellApi.h"
#include "platform/os/Windows.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"
#include "setup/ProcessList.h"
#include "setup/Rw_ini.h"

namespace setup {

TForm1::TForm1(rtl::TComponent* owner) : forms::TForm(owner) {
  using namespace forms;
  Name = "Form1";
  SetCaption(kMainCaption);
  Width = 369;
  Height = 279;

  Memo1 = new TMemo(this);
  Memo1->Name = "Memo1";
  Memo1->SetParent(this);
  Memo1->Align = alTop;

  RadioGroup1 = new TRadioGroup(this);
  RadioGroup1->Name = "RadioGroup1";
  RadioGroup1->SetParent(this);
  RadioGroup1->SetCaption("動作");
  RadioButton1 = new TRadioButton(this);
  RadioButton1->Name = "RadioButton1";
  RadioButton1->SetParent(RadioGroup1);
  RadioButton1->SetCaption("設定");
  RadioButton2 = new TRadioButton(this);
  RadioButton2->Name = "RadioButton2";
  RadioButton2->SetParent(RadioGroup1);
  RadioButton2->SetCaption("解除");
  RadioButton1->SetChecked(true);

  SpeedButton1 = new TSpeedButton(this);
  SpeedButton1->Name = "SpeedButton1";
  SpeedButton1->SetParent(this);
  SpeedButton1->SetCaption("開始");
  SpeedButton1->Flat = true;
  SpeedButton1->OnClick = [this](rtl::TComponent* s) { SpeedButton1Click(s); };

  FileListBox1 = new TFileListBox(this);
  FileListBox1->Name = "FileListBox1";
  FileListBox1->SetParent(this);
  FileListBox1->SetVisible(false);
  FileListBox1->SetMask(kScannerConfigMask);

  WinList1 = new controls::TWinList(this);
  WinList1->Name = "WinList1";
  WinList1->WhatDoFind = controls::id_All;
  WinList1->TaskBarSty = false;

  Start = [](const std::string& file, const std::vector<std::string>& args, const std::string& dir) {
    return os::ShellExecute(file, args, dir);
  };
  NowMs = [] { return static_cast<int64_t>(rtl::GetTickCount64()); };
  Sleep = [](int ms) { rtl::Sleep(static_cast<uint32_t>(ms)); };
  ProcessMessages = [] {
    if (forms::Application) forms::Application->ProcessMessages();
  };
  ProcFolder = os::kProcFolder;

  OnCreate = [this](rtl::TComponent* s) { FormCreate(s); };
}

TForm1::~TForm1() = default;

void TForm1::Log(const std::string& line) {
  Memo1->Lines.push_back(line);
  Memo1->Invalidate();
}

void TForm1::FormCreate(rtl::TComponent*) {
  Memo1->Lines.clear();
  for (const auto& line : kIntroduction) Log(line);
  LaunchSettings = {};
}

void TForm1::SpeedButton1Click(rtl::TComponent*) {
  // The waits of a run let the window take input: a press then is not a
  // second run inside the first.
  if (running_) return;
  running_ = true;
  SpeedButton1->SetEnabled(false);
  struct Over {
    TForm1* form;
    ~Over() {
      form->running_ = false;
      form->SpeedButton1->SetEnabled(true);
    }
  } over{this};
  bool ended = false;
  try {
    ended = RadioButton1->Checked() ? SetupRun() : RemovalRun();
  } catch (...) {
    EndRun(false);
    throw;
  }
  EndRun(ended);
}

void TForm1::EndRun(bool ended) {
  lastRunDone_ = ended && notDone_.empty();
  if (lastRunDone_) {
    Log("☆設定が完了しました");
  } else {
    for (const auto& line : notDone_) Log(line);
  }
  Log("");
  notDone_.clear();
  if (forms::Application) forms::Application->ExitCode = lastRunDone_ ? 0 : kFailedRunExitCode;
}

void TForm1::Done(const char* aim) {
  std::erase(notDone_, std::string(aim));
}

os::HWND TForm1::FindWindowByTitle(const std::string& text) {
  WinList1->RefreshList();
  const std::string want = rtl::AnsiLowerCase(text);
  const rtl::TStringList& list = WinList1->WindowList();
  for (int i = 0; i < list.Count(); ++i)
    if (rtl::AnsiLowerCase(list[i]).find(want) != std::string::npos) return WinList1->WindowHandleAt(i);
  return 0;
}

bool TForm1::CloseWindowByTitle(const std::string& title, const std::string& message) {
  os::HWND h = FindWindowByTitle(title);
  if (!h) return true;
  const int64_t until = NowMs() + CloseWaitLimitMs;
  // A second program with the same title is closed as well: while one
  // remains, its settings or configuration would be written over ours.
  std::set<os::HWND> asked;
  while (h) {
    if (asked.insert(h).second) {
      Log(message);
      // Asked, but not waited for here: the wait below for the window to go
      // keeps our own window painted, its lines shown and a close or a
      // signal heard, however long the other program takes.
      os::SendMessage(h, os::WM_SYSCOMMAND, os::SC_CLOSE, kClosePollMs);
    }
    if (NowMs() >= until) {
      Log("★★★" + title + "が終了しません★★★");
      Log("中止しました");
      return false;
    }
    ProcessMessages();
    // The person closed our window or stopped us: nothing more is changed.
    if (forms::Application && forms::Application->Terminated()) {
      Log("中止しました");
      return false;
    }
    Sleep(kClosePollMs);
    h = FindWindowByTitle(title);
  }
  return true;
}

std::string TForm1::FindFilingApplication() {
  os::TRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  for (int v = kFilingNewestVersion; v >= kFilingOldestVersion; --v) {
    if (!reg.OpenKeyReadOnly(kFilingKeyPrefix + rtl::IntToStr(v) + ".0")) continue;
    std::string path = reg.ReadString(kFilingValue);
    reg.CloseKey();
    if (!path.empty() && rtl::FileExists(path)) return path;
  }
  return {};
}

bool TForm1::StopScanner() {
  scannerPath_.clear();
  scannerStopped_ = false;
  if (os::HWND h = FindWindowByTitle(kScannerTitle)) {
    scannerPath_ = ExePathOfWindow(h, ProcFolder);
    if (!CloseWindowByTitle(kScannerTitle, "ScanSnapManagerを終了します")) {
      scannerPath_.clear();  // still running: nothing to start again
      return false;
    }
    scannerStopped_ = true;
  }
  return true;
}

bool TForm1::EditConfig(const std::function<bool(TScannerConfig& config)>& edit) {
  configFile_.clear();
  std::string appData;
  // Without a home there is no configuration to edit (never a folder
  // taken from the file system's root); without one there is nothing to do.
  if (!os::GetSpecialFolderPath(os::CSIDL_APPDATA, appData) || appData.empty()) return true;
  const std::string folder = rtl::IncludeTrailingPathDelimiter(appData) + kScannerConfigFolder;
  // A folder we may not list, or not reach, would read as one without a
  // configuration, though the user's table may lie in it.
  struct stat st {};
  const bool there = ::stat(folder.c_str(), &st) == 0;
  if (!there && (errno == ENOENT || errno == ENOTDIR)) return true;
  if (there && !S_ISDIR(st.st_mode)) return true;
  if (!there || ::access(folder.c_str(), R_OK | X_OK) != 0) {
    Log("★★★" + folder + "を読み込めません★★★");
    Log("設定ファイルは変更していません");
    return false;
  }
  FileListBox1->SetDirectory(folder);
  const rtl::TStringList& items = FileListBox1->Items();
  if (items.Count() == 0) return true;
  Log("設定を読み込みます");
  const std::string name = items[items.Count() - 1];
  Log(name);
  configFile_ = rtl::IncludeTrailingPathDelimiter(folder) + name;
  // The user keeps the file as it is: not even a table we could read is
  // put in its place.
  if (ReadOnlyFile(configFile_)) {
    Log("★★★" + name + "は読み取り専用です★★★");
    Log("設定ファイルは変更していません");
    return false;
  }
  // What a run killed in the middle of its save left beside the file.
  rtl::TIniFile(configFile_).RemoveStaleTemporaries();
  try {
    ReadScannerConfig(configFile_);
  } catch (const rtl::Exception& e) {
    // A table that cannot be read whole is not edited at all.
    Log("★★★" + e.Message + "★★★");
    Log("設定ファイルは変更していません");
    return false;
  }
  return edit(ScannerConfig);
}

void TForm1::RestartScanner() {
  if (!scannerStopped_) return;
  scannerStopped_ = false;
  if (scannerPath_.empty()) {
    // Its window named no process of this machine whose program we could
    // see (a window without its process id, or of another user): we
    // closed it and cannot start it again.
    Log("ScanSnapManagerを起動できませんでした");
    notDone_.push_back(kRestartNotDone);
    return;
  }
  Log("ScanSnapManagerを立ち上げます");
  if (Start(scannerPath_, {}, rtl::ExtractFilePath(scannerPath_)) != 0) {
    Log("ScanSnapManagerを起動できませんでした");
    // We closed it: until the user starts it again, scans go nowhere.
    notDone_.push_back(kRestartNotDone);
  }
  scannerPath_.clear();
}

int TForm1::FindConverterEntry(int count) const {
  for (int i = 0; i < count; ++i) {
    const std::string& p = ScannerConfig.AppPath[i];
    if (!rtl::AnsiSameText(p, converterPath_)) continue;
    // Letter case tells files apart here unless the file system ignores it.
    std::error_code ec;
    if (p == converterPath_ || std::filesystem::equivalent(p, converterPath_, ec)) return i;
  }
  return -1;
}

bool TForm1::SetupRun() {
  notDone_ = {kLaunchNotDone, kRegisterNotDone};
  Log("☆Lumoraファイリングの設定をします");
  if (!CloseWindowByTitle(kConverterTitle, "Corvane☆ for Lumoraファイリングを終了します")) return false;
  std::string filing;
  bool failed = false;
  try {
    filing = FindFilingApplication();
  } catch (const std::exception&) {
    failed = true;
    Log("レジストリの読み込みに失敗しました");
  }
  if (!filing.empty()) {
    Log("Lumoraファイリングが見つかりました");
    Log(filing);
    LaunchSettings.DoLaunch = 1;
    LaunchSettings.Launch = filing;
    WriteConverterIni();
    Log("☆設定を記録しました");
    Done(kLaunchNotDone);
  } else if (!failed) {
    Log("Lumoraファイリングが見つかりません");
    Done(kLaunchNotDone);  // nothing to record
  }
  Log("");

  converterPath_ = ConverterFileName();
  Log("☆ScanSnapの設定をします");
  return EditScannerConfig(
      [this](TScannerConfig& c) {
        const int count = c.AppCnt;
        int i = FindConverterEntry(count);
        if (i < 0 && count == kMaxUserApps) {
          Log("★★★登録が満杯です★★★");
          Log("ScanSnapManagerより１つ削除してください");
          return false;
        }
        const bool again = i >= 0;
        if (again)
          Log("すでに登録されています");
        else
          i = count;
        c.AppPath[i] = converterPath_;
        c.AppName[i] = kConverterTitle;
        c.AppCmmd[i] = kConverterCommand;
        c.SbAppID = 100 + i;
        c.AppCnt = again ? count : count + 1;
        WriteScannerConfig(configFile_);
        Log(again ? "上書き登録しました" : "登録しました");
        return true;
      },
      kRegisterNotDone);
}

bool TForm1::RemovalRun() {
  notDone_ = {kRemoveNotDone};
  converterPath_ = ConverterFileName();
  Log("☆ScanSnapの設定を解除します");
  return EditScannerConfig(
      [this](TScannerConfig& c) {
        const int count = c.AppCnt;
        const int i = FindConverterEntry(count);
        if (i < 0) {
          Log("見つかりませんでした");
          return true;  // not registered: nothing to take out
        }
        Log("見つかりました");
        for (int j = i; j + 1 < count; ++j) {
          c.AppPath[j] = c.AppPath[j + 1];
          c.AppName[j] = c.AppName[j + 1];
          c.AppCmmd[j] = c.AppCmmd[j + 1];
        }
        c.AppPath[count - 1].clear();
        c.AppName[count - 1].clear();
        c.AppCmmd[count - 1].clear();
        c.AppCnt = count - 1;
        c.SbAppID = 0;
        WriteScannerConfig(configFile_);
        Log("解除しました");
        return true;
      },
      kRemoveNotDone);
}

bool TForm1::EditScannerConfig(const std::function<bool(TScannerConfig& config)>& edit, const char* aim) {
  if (!StopScanner()) return false;
  bool done = false;
  try {
    done = EditConfig(edit);
  } catch (...) {
    // We closed the scanner software: it runs again whatever failed.
    RestartScanner();
    throw;
  }
  RestartScanner();
  if (done) Done(aim);
  return true;
}

}  // namespace setup
