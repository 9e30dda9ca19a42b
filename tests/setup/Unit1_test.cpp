// The setup and removal runs against a scratch folder: the setup utility
// lives in <scratch>/run beside the converter, the user's application data
// in <scratch>/appdata, the registry in <scratch>/registry, the windows in
// <scratch>/runtime. The scanner software and the converter are programs
// of their own, closed through their windows.
#include "setup/Unit1.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>

#include "platform/forms/Dialogs.h"
#include "platform/imagekit/ImageKit.h"
#include "platform/os/KnownFolders.h"
#include "platform/os/Registry.h"
#include "platform/os/ShellApi.h"
#include "platform/os/XWindows.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"
#include "setup/Rw_ini.h"
#include "support/Desktop.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::Count;
using tk::test::LogOf;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WaitFor;
using tk::test::WriteFileBytes;

namespace {

const std::string kConverterTitle = "Corvane☆ for Lumoraファイリング";
const std::string kFilingKey = "\\SOFTWARE\\Quenlab\\Lumoraファイリング\\";

std::string Joined(const std::vector<std::string>& lines, size_t from) {
  std::string s;
  for (size_t i = from; i < lines.size(); ++i) s += lines[i] + "\n";
  return s;
}

class SetupRun : public ::testing::Test {
 protected:
  SetupRun() {
    run = scratch / "run";
    appdata = scratch / "appdata";
    cfgDir = appdata / "PFU" / "ScanSnap";
    fs::create_directories(run);
    fs::create_directories(scratch / "runtime");
    ::chmod((scratch / "runtime").c_str(), 0700);
    runtimeDir_.emplace("XDG_RUNTIME_DIR", (scratch / "runtime").c_str());
    os::TWindowDirectory::SetDefaultFolder(os::TWindowDirectory::DefaultFolder());
    windir = os::TWindowDirectory::Default().Folder();
    os::SetAppDataFolder(appdata.string());
    os::SetRegistryFolder((scratch / "registry").string());
    rtl::SetExecutableFileName((run / "pellwick").string());
    converter = (run / "tarnwick").string();
    WriteFileBytes(converter, "");
    setup::ScannerConfig = {};
  }
  ~SetupRun() override {
    app.reset();
    // Whatever still runs of ours goes now.
    for (const auto& r : os::TWindowDirectory::Default().EnumWindows())
      os::TWindowDirectory::Default().SendMessage(r.Handle, os::WM_CLOSE, 0, 5000);
    rtl::SetExecutableFileName("");
    os::SetRegistryFolder("");
    os::SetAppDataFolder("");
    os::TWindowDirectory::SetDefaultFolder({});
  }

  // The environment of the program started on its own: this run's folders,
  // and what the sanitizers and the search for programs need.
  std::vector<std::string> ProgramEnvironment() const {
    std::vector<std::string> env = {"HOME=" + (scratch / "home").string(),
                                    "XDG_CONFIG_HOME=" + appdata.string(),
                                    "TK_REGISTRY_DIR=" + (scratch / "registry").string(),
                                    "XDG_RUNTIME_DIR=" + (scratch / "runtime").string(), "LANG=C.UTF-8"};
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    return env;
  }

  setup::TForm1* Start() {
    app.reset();
    app = std::make_unique<forms::TApplication>();
    app->SetPresenter(std::make_unique<forms::TScriptedPresenter>());
    app->Title = setup::kApplicationTitle;
    setup::TForm1* form = nullptr;
    app->CreateForm(form);
    form->Start = [this](const std::string& file, const std::vector<std::string>& args,
                         const std::string& dir) {
      starts.push_back(file + "|" + std::to_string(args.size()) + "|" + dir);
      return startResult;
    };
    return form;
  }

  // Runs the setup (or the removal) and gives the memo's lines it added.
  std::string Press(setup::TForm1* form, bool removal = false) {
    (removal ? form->RadioButton2 : form->RadioButton1)->Click();
    const size_t from = form->Memo1->Lines.size();
    form->SpeedButton1->Click();
    return Joined(form->Memo1->Lines, from);
  }

  void Filing(int version, const std::string& value, bool dword = false) {
    os::TRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(kFilingKey + std::to_string(version) + ".0", true));
    if (dword)
      reg.WriteInteger("FullPath", 1);
    else
      reg.WriteString("FullPath", value);
  }

  fs::path Config(const std::string& name, const std::string& bytes) {
    fs::create_directories(cfgDir);
    WriteFileBytes(cfgDir / name, bytes);
    return cfgDir / name;
  }

  // A stand-in program in its own folder, with its configuration.
  fs::path StandIn(const std::string& folder, const std::string& name, const std::string& conf) {
    return tk::test::StandIn(scratch / folder, name, conf + "windir=" + windir.string() + "\n");
  }
  // Starts the program and waits until its window is listed.
  void Launch(const fs::path& exe) {
    ASSERT_GT(tk::test::StartProcess({exe.string()}), 0);
    ASSERT_TRUE(WaitFor([&] { return LogOf(exe).find("ready handle=") != std::string::npos; }, 10000));
  }

  ScratchDir scratch;
  fs::path run, appdata, cfgDir, windir;
  std::string converter;
  std::unique_ptr<forms::TApplication> app;
  std::vector<std::string> starts;
  int startResult = 0;

 private:
  std::optional<tk::test::EnvVar> runtimeDir_;
};

TEST_F(SetupRun, FormStartsWithTheIntroductionAndSetupChosen) {
  setup::LaunchSettings = {1, "/x"};
  setup::TForm1* f = Start();
  EXPECT_EQ(f->Caption(), "簡単設定(Tarnwick)");
  EXPECT_EQ(f->Memo1->Lines, setup::kIntroduction);
  EXPECT_EQ(f->Memo1->Lines.size(), 14u);
  EXPECT_EQ(f->Memo1->Lines[1], "■簡単設定Ｖｅｒ１．００へようこそ！！■");
  EXPECT_TRUE(f->RadioButton1->Checked());
  f->RadioButton2->Click();
  EXPECT_FALSE(f->RadioButton1->Checked());
  EXPECT_TRUE(f->RadioButton2->Checked());
  EXPECT_FALSE(f->FileListBox1->Visible());
  EXPECT_EQ(setup::LaunchSettings.DoLaunch, 0);
  EXPECT_EQ(setup::LaunchSettings.Launch, "");
}

// The whole setup run against running programs: the converter and the
// scanner software are closed through their windows, the launch settings
// and the registration are written while they are down, and the scanner
// software is started again from where it ran and reads the new table.
TEST_F(SetupRun, SetupClosesEditsAndRestartsEndToEnd) {
  const fs::path filing = StandIn("Lumora Filing6", "lumora_filing", "");
  Filing(8, (scratch / "gone" / "lumora_filing").string());  // no such file: passed over
  Filing(6, filing.string());
  const fs::path cfg =
      Config("pfussmon.cfg",
             "[USERAPP]\r\nAppCnt=2\r\nAppPath_100=/opt/a/a\r\nAppName_100=A\r\nAppCmmd_100=%M\r\n"
             "AppPath_101=/opt/b/b\r\nAppName_101=B\r\nAppCmmd_101=%F\r\n[CONFIG_M]\r\nSbAppID=101\r\n"
             "Color=1\r\n");
  const fs::path conv = StandIn("conv", "tarnwick", "title=" + kConverterTitle + "\nclose_delay_ms=300\n");
  const fs::path scanner =
      StandIn("PFU Scanner", "pfussmon", "title=ScanSnap Manager\nwatch=" + cfg.string() + "\n");
  Launch(conv);
  Launch(scanner);
  setup::TForm1* f = Start();
  f->Start = [](const std::string& file, const std::vector<std::string>& args, const std::string& dir) {
    return os::ShellExecute(file, args, dir);
  };  // the real start, so the program runs again
  const std::string memo = Press(f);
  EXPECT_EQ(memo,
            "☆Lumoraファイリングの設定をします\n"
            "Corvane☆ for Lumoraファイリングを終了します\n"
            "Lumoraファイリングが見つかりました\n" +
                filing.string() +
                "\n☆設定を記録しました\n"
                "\n"
                "☆ScanSnapの設定をします\n"
                "ScanSnapManagerを終了します\n"
                "設定を読み込みます\n"
                "pfussmon.cfg\n"
                "登録しました\n"
                "ScanSnapManagerを立ち上げます\n"
                "☆設定が完了しました\n"
                "\n");
  // Both were closed before the run went on.
  EXPECT_EQ(Count(LogOf(conv), "closed\n"), 1u);
  EXPECT_EQ(f->FindWindowByTitle(kConverterTitle), 0u);
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("App", "DoLaunch", -1), 1);
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), filing.string());

  rtl::TIniFile c(cfg.string());
  EXPECT_EQ(c.ReadInteger("USERAPP", "AppCnt", -1), 3);
  EXPECT_EQ(c.ReadString("USERAPP", "AppPath_102", ""), converter);
  EXPECT_EQ(c.ReadString("USERAPP", "AppName_102", ""), kConverterTitle);
  EXPECT_EQ(c.ReadString("USERAPP", "AppCmmd_102", ""), "%M");
  EXPECT_EQ(c.ReadString("USERAPP", "AppCmmd_101", ""), "%F");
  EXPECT_EQ(c.ReadInteger("CONFIG_M", "SbAppID", -1), 102);
  EXPECT_EQ(c.ReadString("CONFIG_M", "Color", ""), "1");

  // Restarted from its own path in its own folder, without arguments; it
  // saw the old table until it closed and the new one when it came back.
  ASSERT_TRUE(WaitFor([&] { return Count(LogOf(scanner), "watch start=Color=1") == 2; }, 10000))
      << LogOf(scanner);
  const std::string log = LogOf(scanner);
  EXPECT_EQ(Count(log, "start cwd=" + (scratch / "PFU Scanner").string() + "\n"), 1u) << log;
  EXPECT_EQ(Count(log, "argc=0\n"), 2u);
  const size_t closed = log.find("closed\n");
  ASSERT_NE(closed, std::string::npos);
  EXPECT_GT(log.find("watch start=AppCnt=3"), closed) << log;
  EXPECT_LT(log.find("watch close=AppCnt=2"), closed);
  EXPECT_NE(log.find("watch start=AppPath_102=" + converter, closed), std::string::npos);
  EXPECT_NE(f->FindWindowByTitle("scansnap manager"), 0u);  // letter case aside
}

TEST_F(SetupRun, RealConverterIsClosedAndKeepsItsSettingsBesideTheLaunchSettings) {
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "tarnwick")) << "build the tarnwick target first";
  fs::remove(converter);
  fs::copy_file(tk::test::RunDir() / "tarnwick", converter);
  std::error_code ec;
  fs::create_symlink(tk::test::RunDir() / TK_IMAGEKIT_LIBRARY, run / TK_IMAGEKIT_LIBRARY, ec);
  WriteFileBytes(run / "tarnwick.ini",
                 "[Pos]\nTop=9\nLeft=11\n[App]\nDoLaunch=0\nLaunch=/old/viewer\n[Mode]\nDD=1\n");
  const fs::path filing = StandIn("Lumora Filing", "lumora_filing", "");
  Filing(16, filing.string());
  fs::create_directories(scratch / "docs");
  const int pid = tk::test::StartProcess({converter}, scratch / "docs");
  ASSERT_GT(pid, 0);
  setup::TForm1* f = Start();
  ASSERT_TRUE(WaitFor([&] { return f->FindWindowByTitle(kConverterTitle) != 0; }, 20000));
  const std::string memo = Press(f);
  EXPECT_NE(memo.find("Corvane☆ for Lumoraファイリングを終了します\n"), std::string::npos) << memo;
  EXPECT_EQ(tk::test::WaitProcess(pid, 20000), 0);
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("App", "DoLaunch", -1), 1);
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), filing.string());
  EXPECT_EQ(ini.ReadInteger("Pos", "Top", -1), 9);
  EXPECT_EQ(ini.ReadInteger("Mode", "DD", -1), 1);
  EXPECT_EQ(ini.ReadString("PDF", "Path", ""), run.string() + "/");  // the converter saved on its close
  // No scanner software ran and no configuration exists: nothing else done.
  EXPECT_EQ(memo.find("ScanSnapManager"), std::string::npos);
  EXPECT_FALSE(fs::exists(cfgDir));
  EXPECT_TRUE(starts.empty());
}

TEST_F(SetupRun, RegistrationTable) {
  const std::string upper = (scratch / "RUN" / "tarnwick").string();
  fs::create_directory_symlink(run, scratch / "RUN");  // the same file under other letter case
  struct Case {
    const char* label;
    std::string userapp;  // lines of [USERAPP] before
    std::string memo;     // the lines between reading and the end, the last line included
    int cnt;              // AppCnt after (-1: file unchanged)
    int sb;               // SbAppID after
    int at;               // entry holding the converter after
  };
  const std::string done = "☆設定が完了しました\n", notDone = setup::kRegisterNotDone + std::string("\n");
  // A table whose count is not one of its own is left as it is.
  auto refused = [&](const std::string& value) {
    return "★★★AppCntの値「" + value + "」が0～5の数ではありません★★★\n設定ファイルは変更していません\n" +
           notDone;
  };
  const Case cases[] = {
      {"appended after two", "AppCnt=2\nAppPath_100=/a\nAppPath_101=/b\n", "登録しました\n" + done, 3, 102,
       2},
      {"listed as entry 0",
       "AppCnt=2\nAppPath_100=" + converter + "\nAppName_100=old\nAppCmmd_100=x\nAppPath_101=/b\n",
       "すでに登録されています\n上書き登録しました\n" + done, 2, 100, 0},
      {"listed under another spelling of its folder", "AppCnt=1\nAppPath_100=" + upper + "\n",
       "すでに登録されています\n上書き登録しました\n" + done, 1, 100, 0},
      {"listed in another case, another file",
       "AppCnt=1\nAppPath_100=" + (scratch / "Run" / "tarnwick").string() + "\n", "登録しました\n" + done, 2,
       101, 1},
      {"full", "AppCnt=5\nAppPath_100=/a\nAppPath_101=/b\nAppPath_102=/c\nAppPath_103=/d\nAppPath_104=/e\n",
       "★★★登録が満杯です★★★\nScanSnapManagerより１つ削除してください\n" + notDone, -1, 0, -1},
      {"listed beyond the count", "AppCnt=1\nAppPath_100=/a\nAppPath_101=" + converter + "\n",
       "登録しました\n" + done, 2, 101, 1},
      {"empty section", "", "登録しました\n" + done, 1, 100, 0},
      {"no count, no entries", "Other=1\n", "登録しました\n" + done, 1, 100, 0},
      // Counts the table cannot hold: entry 0 is the user's own.
      {"count 7, listed as entry 1", "AppCnt=7\nAppPath_100=/a\nAppPath_101=" + converter + "\n",
       refused("7"), -1, 0, -1},
      {"count 7, not listed", "AppCnt=7\nAppPath_100=/a\n", refused("7"), -1, 0, -1},
      {"negative count", "AppCnt=-3\nAppPath_100=/a\n", refused("-3"), -1, 0, -1},
      {"count no number", "AppCnt=two\nAppPath_100=/a\n", refused("two"), -1, 0, -1},
      {"count empty", "AppCnt=\nAppPath_100=/a\n", refused(""), -1, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string before = "[USERAPP]\n" + c.userapp + "[CONFIG_M]\nSbAppID=0\nKeep=1\n";
    const fs::path cfg = Config("pfussmon.cfg", before);
    setup::TForm1* f = Start();
    EXPECT_EQ(Press(f),
              "☆Lumoraファイリングの設定をします\nLumoraファイリングが見つかりません\n\n"
              "☆ScanSnapの設定をします\n設定を読み込みます\npfussmon.cfg\n" +
                  c.memo + "\n");
    EXPECT_EQ(app->ExitCode, c.cnt < 0 ? 1 : 0);
    if (c.cnt < 0) {
      EXPECT_EQ(ReadFileBytes(cfg), before);
      continue;
    }
    rtl::TIniFile ini(cfg.string());
    EXPECT_EQ(ini.ReadInteger("USERAPP", "AppCnt", -9), c.cnt);
    EXPECT_EQ(ini.ReadInteger("CONFIG_M", "SbAppID", -9), c.sb);
    EXPECT_EQ(ini.ReadString("CONFIG_M", "Keep", ""), "1");
    const std::string i = std::to_string(c.at);
    EXPECT_EQ(ini.ReadString("USERAPP", "AppPath_10" + i, ""), converter);
    EXPECT_EQ(ini.ReadString("USERAPP", "AppName_10" + i, ""), kConverterTitle);
    EXPECT_EQ(ini.ReadString("USERAPP", "AppCmmd_10" + i, ""), "%M");
  }
}

TEST_F(SetupRun, RemovalTable) {
  struct Case {
    const char* label;
    std::string userapp;
    std::string memo;                // the last line included
    std::vector<std::string> paths;  // AppPath_100.. after, as the file holds them (empty: unchanged)
    int cnt;
    int exitCode = 0;
  };
  const std::string done = "☆設定が完了しました\n";
  auto refused = [&](const std::string& value) {
    return "★★★AppCntの値「" + value + "」が0～5の数ではありません★★★\n設定ファイルは変更していません\n" +
           setup::kRemoveNotDone + "\n";
  };
  const Case cases[] = {
      {"entry 0 of 3",
       "AppCnt=3\nAppPath_100=" + converter +
           "\nAppName_100=C\nAppPath_101=/b\nAppName_101=B\nAppCmmd_101=%B\nAppPath_102=/c\n",
       "見つかりました\n解除しました\n" + done,
       {"/b", "/c", "/c"},
       2},  // the old last entry's keys stay beyond the count
      {"last of 3",
       "AppCnt=3\nAppPath_100=/a\nAppPath_101=/b\nAppPath_102=" + converter + "\n",
       "見つかりました\n解除しました\n" + done,
       {"/a", "/b", converter},
       2},
      {"only entry",
       "AppCnt=1\nAppPath_100=" + converter + "\n",
       "見つかりました\n解除しました\n" + done,
       {converter},
       0},
      {"entry 4 of 5",
       "AppCnt=5\nAppPath_100=/a\nAppPath_103=/d\nAppPath_104=" + converter + "\n",
       "見つかりました\n解除しました\n" + done,
       {"/a", "", "", "/d", converter},
       4},
      {"not listed", "AppCnt=2\nAppPath_100=/a\nAppPath_101=/b\n", "見つかりませんでした\n" + done, {}, -1},
      {"listed beyond the count",
       "AppCnt=1\nAppPath_100=/a\nAppPath_101=" + converter + "\n",
       "見つかりませんでした\n" + done,
       {},
       -1},
      {"count 7", "AppCnt=7\nAppPath_100=/a\nAppPath_104=" + converter + "\n", refused("7"), {}, -1, 1},
      {"negative count", "AppCnt=-1\nAppPath_100=" + converter + "\n", refused("-1"), {}, -1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string before = "[USERAPP]\n" + c.userapp + "[CONFIG_M]\nSbAppID=102\n";
    const fs::path cfg = Config("pfussmon.cfg", before);
    setup::TForm1* f = Start();
    EXPECT_EQ(Press(f, true),
              "☆ScanSnapの設定を解除します\n設定を読み込みます\npfussmon.cfg\n" + c.memo + "\n");
    EXPECT_EQ(app->ExitCode, c.exitCode);
    if (c.cnt < 0) {
      EXPECT_EQ(ReadFileBytes(cfg), before);
      continue;
    }
    rtl::TIniFile ini(cfg.string());
    EXPECT_EQ(ini.ReadInteger("USERAPP", "AppCnt", -9), c.cnt);
    EXPECT_EQ(ini.ReadInteger("CONFIG_M", "SbAppID", -9), 0);
    for (size_t i = 0; i < c.paths.size(); ++i)
      EXPECT_EQ(ini.ReadString("USERAPP", "AppPath_10" + std::to_string(i), ""), c.paths[i]) << i;
    if (std::string(c.label) == "entry 0 of 3") {
      EXPECT_EQ(ini.ReadString("USERAPP", "AppName_100", ""), "B");
      EXPECT_EQ(ini.ReadString("USERAPP", "AppCmmd_100", ""), "%B");
      EXPECT_EQ(ini.ReadString("USERAPP", "AppName_101", ""), "");
    }
  }
  // The removal leaves the converter and its settings alone.
  EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
}

TEST_F(SetupRun, TheLastConfigurationFileByNameIsEdited) {
  const std::string cfgText = "[USERAPP]\nAppCnt=0\n";
  Config("pfussmon.cfg", cfgText);
  Config("PFUSSMON1.CFG", cfgText);
  Config("pfussmon2.cfg", cfgText);
  Config("pfussmon2.cfg.bak", cfgText);
  Config(".pfussmon9.cfg", cfgText);                 // hidden
  fs::create_directories(cfgDir / "pfussmon9.cfg");  // a folder
  setup::TForm1* f = Start();
  const std::string memo = Press(f);
  EXPECT_NE(memo.find("設定を読み込みます\npfussmon2.cfg\n登録しました\n"), std::string::npos) << memo;
  EXPECT_EQ(f->FileListBox1->Items().Count(), 3);
  for (const char* name : {"pfussmon.cfg", "PFUSSMON1.CFG", "pfussmon2.cfg.bak", ".pfussmon9.cfg"})
    EXPECT_EQ(ReadFileBytes(cfgDir / name), cfgText) << name;
  EXPECT_EQ(rtl::TIniFile((cfgDir / "pfussmon2.cfg").string()).ReadInteger("USERAPP", "AppCnt", 0), 1);
}

TEST_F(SetupRun, NoConfigurationNoMessageNothingWritten) {
  struct Case {
    const char* label;
    std::function<void()> prepare;
  } cases[] = {
      {"no folder", [] {}},
      {"empty folder", [&] { fs::create_directories(cfgDir); }},
      {"other files only", [&] { Config("pfussmon.ini", "[USERAPP]\n"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    c.prepare();
    setup::TForm1* f = Start();
    for (bool removal : {false, true}) {
      const std::string memo = Press(f, removal);
      EXPECT_EQ(memo.find("設定を読み込みます"), std::string::npos);
      EXPECT_NE(memo.find("☆設定が完了しました\n\n"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(cfgDir / "pfussmon.cfg"));
  }
}

TEST_F(SetupRun, FilingApplicationLookupTable) {
  const fs::path app6 = StandIn("f6", "lumora_filing", "");
  const fs::path app12 = StandIn("f12", "lumora_filing", "");
  struct Case {
    const char* label;
    std::function<void()> registry;
    std::string memo;
    std::string launch;  // "" : the settings file is not written
  } cases[] = {
      {"version 6 only", [&] { Filing(6, app6.string()); },
       "Lumoraファイリングが見つかりました\n" + app6.string() + "\n☆設定を記録しました\n", app6.string()},
      {"newest existing wins",
       [&] { Filing(6, app6.string()), Filing(12, app12.string()), Filing(16, "/no/such"); },
       "Lumoraファイリングが見つかりました\n" + app12.string() + "\n☆設定を記録しました\n", app12.string()},
      {"a folder is no program", [&] { Filing(9, (scratch / "f6").string()); },
       "Lumoraファイリングが見つかりません\n", ""},
      {"version 4 and 17 are not asked", [&] { Filing(4, app6.string()), Filing(17, app6.string()); },
       "Lumoraファイリングが見つかりません\n", ""},
      {"no value",
       [&] {
         os::TRegistry reg;
         reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
         reg.OpenKey(kFilingKey + "10.0", true);
         reg.WriteString("Other", app6.string());
       },
       "Lumoraファイリングが見つかりません\n", ""},
      {"a store that cannot be read",
       [&] { fs::create_directories(scratch / "registry" / "HKEY_LOCAL_MACHINE.ini"); },
       "レジストリの読み込みに失敗しました\n", ""},
      {"a value that is no text", [&] { Filing(16, "", true), Filing(6, app6.string()); },
       "レジストリの読み込みに失敗しました\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(scratch / "registry");
    fs::remove(run / "tarnwick.ini");
    c.registry();
    setup::TForm1* f = Start();
    const std::string memo = Press(f);
    EXPECT_EQ(memo.substr(0, memo.find("\n☆ScanSnap")), "☆Lumoraファイリングの設定をします\n" + c.memo);
    // The run goes on; it is complete unless the lookup failed (nothing
    // found is nothing to record).
    const bool failed = c.memo.find("失敗") != std::string::npos;
    const std::string end = failed ? std::string(setup::kLaunchNotDone) + "\n\n" : "☆設定が完了しました\n\n";
    EXPECT_EQ(memo.substr(memo.size() - std::min(memo.size(), end.size())), end) << memo;
    EXPECT_EQ(app->ExitCode, failed ? 1 : 0);
    if (c.launch.empty()) {
      EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
    } else {
      rtl::TIniFile ini((run / "tarnwick.ini").string());
      EXPECT_EQ(ini.ReadInteger("App", "DoLaunch", -1), 1);
      EXPECT_EQ(ini.ReadString("App", "Launch", ""), c.launch);
    }
  }
  // Reading never creates a key.
  os::TRegistry reg;
  reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(reg.KeyExists(kFilingKey + "15.0"));
}

// The scanner software runs again when the edit fails, and the failure is
// the run's end with its message, not a success.
TEST_F(SetupRun, FailedWritesEndTheRunAndTheScannerRunsAgain) {
  const fs::path scanner = StandIn("scan", "pfussmon", "title=ScanSnap Manager\n");
  Launch(scanner);
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  Filing(6, scanner.string());
  fs::create_directories(run / "tarnwick.ini");  // the launch settings cannot be written either
  setup::TForm1* f = Start();
  EXPECT_THROW(f->SpeedButton1->Click(), rtl::Exception);
  // Ended at the launch settings, before the scanner software was touched,
  // with what was not done.
  const auto& lines = f->Memo1->Lines;
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{scanner.string(), setup::kLaunchNotDone, setup::kRegisterNotDone, ""}));
  EXPECT_EQ(app->ExitCode, 1);
  EXPECT_TRUE(starts.empty());
  EXPECT_NE(f->FindWindowByTitle("ScanSnap Manager"), 0u);

  // The configuration cannot take the converter's path: a line break in
  // its folder would make other entries of the file.
  const fs::path odd = scratch / "run\nAppCnt=0";
  fs::create_directories(odd);
  rtl::SetExecutableFileName((odd / "pellwick").string());
  const size_t from = f->Memo1->Lines.size();
  EXPECT_THROW(f->SpeedButton1->Click(), rtl::Exception);
  const std::string memo = Joined(f->Memo1->Lines, from);
  EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), "[USERAPP]\nAppCnt=0\n");
  EXPECT_NE(
      memo.find(
          "ScanSnapManagerを終了します\n設定を読み込みます\npfussmon.cfg\nScanSnapManagerを立ち上げます\n" +
          std::string(setup::kRegisterNotDone) + "\n\n"),
      std::string::npos)
      << memo;
  EXPECT_EQ(memo.find("☆設定が完了しました"), std::string::npos);
  EXPECT_EQ(app->ExitCode, 1);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0], scanner.string() + "|0|" + (scratch / "scan").string() + "/");
}

TEST_F(SetupRun, WindowsThatDoNotCloseStopTheRun) {
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  const std::string cfgBefore = ReadFileBytes(cfgDir / "pfussmon.cfg");
  struct Case {
    const char* label;
    std::string title;
    bool removal;
    std::string stop;  // the memo's last lines
  } cases[] = {
      {"converter", kConverterTitle, false,
       "Corvane☆ for Lumoraファイリングを終了します\n★★★" + kConverterTitle +
           "が終了しません★★★\n中止しました\n" + setup::kLaunchNotDone + "\n" + setup::kRegisterNotDone +
           "\n\n"},
      {"scanner software", "ScanSnap Manager", true,
       "ScanSnapManagerを終了します\n★★★ScanSnap Managerが終了しません★★★\n中止しました\n" +
           std::string(setup::kRemoveNotDone) + "\n\n"},
  };
  Filing(6, (scratch / "run" / "tarnwick").string());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path slow = StandIn(c.label, "slow", "title=" + c.title + "\nclose_delay_ms=1500\n");
    Launch(slow);
    setup::TForm1* f = Start();
    f->CloseWaitLimitMs = 300;
    const std::string memo = Press(f, c.removal);
    ASSERT_GE(memo.size(), c.stop.size());
    EXPECT_EQ(memo.substr(memo.size() - c.stop.size()), c.stop) << memo;
    EXPECT_EQ(app->ExitCode, 1);
    EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), cfgBefore);
    EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
    EXPECT_TRUE(starts.empty());
  }
}

// While another program takes its time to close, the run lets messages
// run: the window shows the lines so far and takes input, its button is
// off, and a press then is not a second run inside the first.
TEST_F(SetupRun, WaitsForAClosingWindowLetMessagesRun) {
  const fs::path conv = StandIn("conv", "tarnwick", "title=" + kConverterTitle + "\nclose_delay_ms=1000\n");
  Launch(conv);
  setup::TForm1* f = Start();
  std::string shown, closedAtFirstPump;
  bool enabled = true;
  f->ProcessMessages = [&] {
    if (!closedAtFirstPump.empty()) return;
    closedAtFirstPump = LogOf(conv).find("closed\n") != std::string::npos ? "yes" : "no";
    shown = Joined(f->Memo1->Lines, 0);
    enabled = f->SpeedButton1->Enabled();
    f->SpeedButton1->Click();
  };
  const std::string memo = Press(f);
  EXPECT_EQ(closedAtFirstPump, "no");
  EXPECT_NE(shown.find("Corvane☆ for Lumoraファイリングを終了します\n"), std::string::npos) << shown;
  EXPECT_FALSE(enabled);
  EXPECT_EQ(Count(memo, "☆Lumoraファイリングの設定をします\n"), 1u) << memo;
  EXPECT_NE(memo.find("☆設定が完了しました\n"), std::string::npos) << memo;
  EXPECT_NE(LogOf(conv).find("closed\n"), std::string::npos);
  EXPECT_TRUE(f->SpeedButton1->Enabled());
  EXPECT_EQ(app->ExitCode, 0);
}

// A termination signal, or the window closed, while the run waits for
// another program to close: the run stops there, changes nothing more and
// fails.
TEST_F(SetupRun, AnEndDuringAWaitStopsTheRun) {
  const std::string cfgBefore = "[USERAPP]\nAppCnt=0\n";
  Config("pfussmon.cfg", cfgBefore);
  Filing(6, converter);
  struct Case {
    const char* label;
    std::function<void(setup::TForm1*)> end;
  } cases[] = {
      {"signal",
       [this](setup::TForm1*) {
         forms::TApplication::RequestCloseFromSignal();
         app->ProcessMessages();
       }},
      {"window closed", [](setup::TForm1* f) { f->Close(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path conv =
        StandIn(c.label, "tarnwick", "title=" + kConverterTitle + "\nclose_delay_ms=1000\n");
    Launch(conv);
    setup::TForm1* f = Start();
    f->ProcessMessages = [&] { c.end(f); };
    const std::string memo = Press(f);
    EXPECT_EQ(
        memo,
        "☆Lumoraファイリングの設定をします\nCorvane☆ for Lumoraファイリングを終了します\n中止しました\n" +
            std::string(setup::kLaunchNotDone) + "\n" + setup::kRegisterNotDone + "\n\n");
    EXPECT_EQ(app->ExitCode, 1);
    EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
    EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), cfgBefore);
    EXPECT_TRUE(starts.empty());
    // It still closes, by itself, before the next case.
    EXPECT_TRUE(WaitFor([&] { return LogOf(conv).find("closed\n") != std::string::npos; }, 5000));
  }
}

TEST_F(SetupRun, EveryConverterWindowIsClosedAndARefusedStartIsSaid) {
  const fs::path a = StandIn("a", "tarnwick", "title=" + kConverterTitle + "\n");
  const fs::path b = StandIn("b", "tarnwick", "title=x " + kConverterTitle + " y\n");
  const fs::path scanner = StandIn("scan", "pfussmon", "title=ScanSnap Manager - scanning\n");
  Launch(a);
  Launch(b);
  Launch(scanner);
  setup::TForm1* f = Start();
  startResult = ENOENT;
  const std::string memo = Press(f);
  EXPECT_EQ(Count(memo, "Corvane☆ for Lumoraファイリングを終了します\n"), 2u) << memo;
  EXPECT_NE(LogOf(a).find("closed\n"), std::string::npos);
  EXPECT_NE(LogOf(b).find("closed\n"), std::string::npos);
  EXPECT_NE(memo.find("ScanSnapManagerを立ち上げます\nScanSnapManagerを起動できませんでした\n" +
                      std::string(setup::kRestartNotDone) + "\n\n"),
            std::string::npos)
      << memo;
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0], scanner.string() + "|0|" + (scratch / "scan").string() + "/");
}

// The scanner software's window names no process whose program we can see
// (here: no process at all is seen): it is closed all the same, and the run
// says that it could not start it again rather than that all went well.
TEST_F(SetupRun, AScannerWhoseProgramIsNotSeenIsSaidNotStartedAgain) {
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  const fs::path scanner = StandIn("scan", "pfussmon", "title=ScanSnap Manager\n");
  Launch(scanner);
  setup::TForm1* f = Start();
  fs::create_directories(scratch / "no-processes");
  f->ProcFolder = (scratch / "no-processes").string();
  const std::string memo = Press(f, true);
  EXPECT_NE(memo.find("ScanSnapManagerを終了します\n"), std::string::npos) << memo;
  EXPECT_NE(LogOf(scanner).find("closed\n"), std::string::npos);
  EXPECT_NE(memo.find("見つかりませんでした\nScanSnapManagerを起動できませんでした\n" +
                      std::string(setup::kRestartNotDone) + "\n\n"),
            std::string::npos)
      << memo;
  EXPECT_EQ(memo.find("☆設定が完了しました"), std::string::npos) << memo;
  EXPECT_EQ(app->ExitCode, 1);
  EXPECT_TRUE(starts.empty());
}

// A configuration the user made read-only is not replaced, even by a table
// we could read: the run says so, starts the scanner software again and
// fails. A writable one is edited, and a killed save's temporary beside it
// removed.
TEST_F(SetupRun, AReadOnlyConfigurationIsLeftAloneAndSaid) {
  const std::string before = "[USERAPP]\nAppCnt=1\nAppPath_100=" + converter + "\n";
  const fs::path cfg = Config("pfussmon.cfg", before);
  // A save of an earlier run that was killed: its process is gone.
  const pid_t gone = ::fork();
  ASSERT_GE(gone, 0);
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const fs::path temp = cfgDir / (".pfussmon.cfg.tmp" + std::to_string(gone) + "-0");
  WriteFileBytes(temp, "half a ta");
  for (bool removal : {false, true}) {
    SCOPED_TRACE(removal);
    ::chmod(cfg.c_str(), 0444);
    const fs::path scanner = StandIn(removal ? "scan2" : "scan1", "pfussmon", "title=ScanSnap Manager\n");
    Launch(scanner);
    setup::TForm1* f = Start();
    starts.clear();
    const std::string memo = Press(f, removal);
    EXPECT_NE(memo.find("設定を読み込みます\npfussmon.cfg\n★★★pfussmon.cfgは読み取り専用です★★★\n"
                        "設定ファイルは変更していません\nScanSnapManagerを立ち上げます\n" +
                        std::string(removal ? setup::kRemoveNotDone : setup::kRegisterNotDone) + "\n\n"),
              std::string::npos)
        << memo;
    EXPECT_EQ(app->ExitCode, 1);
    EXPECT_EQ(ReadFileBytes(cfg), before);
    EXPECT_TRUE(fs::exists(temp));
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].rfind(scanner.string() + "|", 0), 0u);
  }
  ::chmod(cfg.c_str(), 0644);
  setup::TForm1* f = Start();
  const std::string memo = Press(f, true);
  EXPECT_NE(memo.find("見つかりました\n解除しました\n☆設定が完了しました\n"), std::string::npos) << memo;
  EXPECT_EQ(app->ExitCode, 0);
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_EQ(rtl::TIniFile(cfg.string()).ReadInteger("USERAPP", "AppCnt", -1), 0);
}

// A configuration folder that the user may not list, or not reach, is not
// taken for one without a configuration: the run says so and fails.
TEST_F(SetupRun, AConfigurationFolderThatCannotBeListedIsSaid) {
  const std::string before = "[USERAPP]\nAppCnt=1\nAppPath_100=" + converter + "\n";
  const fs::path cfg = Config("pfussmon.cfg", before);
  const tk::test::User user = tk::test::OrdinaryUser();
  tk::test::GiveTo(scratch.path(), user);
  struct Case {
    const char* label;
    fs::path locked;
    mode_t mode;
  } cases[] = {
      {"the folder cannot be read", cfgDir, 0311},
      {"the folder above it cannot be searched", cfgDir.parent_path(), 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ::chmod(c.locked.c_str(), c.mode);
    const std::string got = tk::test::CallAs(user, [&] {
      setup::TForm1* f = Start();
      const std::string memo = Press(f, true);
      return memo + "exit=" + std::to_string(app->ExitCode);
    });
    ::chmod(c.locked.c_str(), 0755);
    EXPECT_EQ(got, "☆ScanSnapの設定を解除します\n★★★" + cfgDir.string() +
                       "を読み込めません★★★\n設定ファイルは変更していません\n" + setup::kRemoveNotDone +
                       "\n\nexit=1");
    EXPECT_EQ(ReadFileBytes(cfg), before);
  }
}

// The program at a terminal: the person chooses the setup run; its exit
// status says whether the run did all it set out to do.
TEST_F(SetupRun, ProgramAtATerminalFailsARunThatDidNotDoItAll) {
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  const std::vector<std::string> env = ProgramEnvironment();
  struct Case {
    const char* config;
    int exitCode;
    std::string end;
  } cases[] = {
      {"[USERAPP]\nAppCnt=9\nAppPath_100=/mine\n", 1,
       "★★★AppCntの値「9」が0～5の数ではありません★★★\r\n設定ファイルは変更していません\r\n" +
           std::string(setup::kRegisterNotDone) + "\r\n"},
      {"[USERAPP]\nAppCnt=1\nAppPath_100=/mine\n", 0, "登録しました\r\n☆設定が完了しました\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    const fs::path cfg = Config("pfussmon.cfg", c.config);
    const auto r = tk::test::RunAs(
        {::geteuid(), ::getegid()}, {(run / "pellwick").string()},
        {.env = env, .cwd = scratch.path(), .input = "y\n", .terminal = true, .timeoutMs = 60000});
    EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
    EXPECT_NE(r.out.find(c.end), std::string::npos) << r.out;
    if (c.exitCode != 0) {
      EXPECT_EQ(ReadFileBytes(cfg), c.config);
    }
  }
}

// A file size limit (ulimit -f) that the new table would pass is a write
// that fails, said, with the table as it was and nothing left beside it:
// not the end of the program by the limit's signal.
TEST_F(SetupRun, ProgramUnderAFileSizeLimitSaysTheTableWasNotWritten) {
  TK_REQUIRE_TOOL("/usr/bin/prlimit");
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  const std::vector<std::string> env = ProgramEnvironment();
  const std::string table = "[USERAPP]\nAppCnt=0\n";
  const fs::path cfg = Config("pfussmon.cfg", table);
  const auto r = tk::test::RunAs(
      {::geteuid(), ::getegid()}, {"/usr/bin/prlimit", "--fsize=24", (run / "pellwick").string()},
      {.env = env, .cwd = scratch.path(), .input = "y\n", .terminal = true, .timeoutMs = 60000});
  EXPECT_EQ(r.exitCode, 1) << r.out;
  EXPECT_NE(r.out.find(cfg.string()), std::string::npos) << r.out;
  EXPECT_EQ(ReadFileBytes(cfg), table);
  for (const auto& e : fs::directory_iterator(cfgDir)) EXPECT_EQ(e.path(), cfg) << "left: " << e.path();
}

// The program at a terminal while it waits for the converter to close: the
// person sees each line as it comes, and ^C stops the run there, changing
// nothing more, with the exit status of a run not done.
TEST_F(SetupRun, ProgramAtATerminalIsStoppedByCtrlCWhileItWaits) {
  TK_REQUIRE_TOOL("tmux");
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  Filing(6, converter);
  const fs::path conv = StandIn("conv", "tarnwick", "title=" + kConverterTitle + "\nclose_delay_ms=8000\n");
  // Ended by the test once it has seen what it needs, not left to close.
  const int convPid = tk::test::StartProcess({conv.string()});
  ASSERT_GT(convPid, 0);
  ASSERT_TRUE(WaitFor([&] { return LogOf(conv).find("ready handle=") != std::string::npos; }, 10000));
  tk::test::EnvVar notInside("TMUX", nullptr);
  const std::string sock = (scratch.path() / "tmux.sock").string();
  auto tmux = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"tmux", "-S", sock});
    return tk::test::RunTool(args);
  };
  auto screen = [&] { return tmux({"capture-pane", "-p", "-J", "-S", "-100"}).out; };
  const std::string command = "env XDG_CONFIG_HOME='" + appdata.string() + "' TK_REGISTRY_DIR='" +
                              (scratch / "registry").string() + "' XDG_RUNTIME_DIR='" +
                              (scratch / "runtime").string() + "' '" + (run / "pellwick").string() +
                              "'; echo EXIT=$?; sleep 60";
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "200", "-y", "50", command}).exitCode, 0);
  EXPECT_TRUE(WaitFor([&] { return screen().find("[c]ancel?") != std::string::npos; }, 20000)) << screen();
  tmux({"send-keys", "y", "Enter"});
  EXPECT_TRUE(WaitFor([&] { return screen().find("を終了します") != std::string::npos; }, 10000)) << screen();
  EXPECT_EQ(LogOf(conv).find("closed\n"), std::string::npos);  // still closing
  tmux({"send-keys", "C-c"});
  EXPECT_TRUE(WaitFor([&] { return screen().find("EXIT=") != std::string::npos; }, 10000)) << screen();
  const std::string shown = screen();
  tmux({"kill-server"});
  ::kill(convPid, SIGKILL);
  tk::test::WaitProcess(convPid, 5000);
  EXPECT_NE(shown.find("中止しました\n" + std::string(setup::kLaunchNotDone) + "\n" +
                       setup::kRegisterNotDone + "\n"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("EXIT=1"), std::string::npos) << shown;
  EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
  EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), "[USERAPP]\nAppCnt=0\n");
}

// The program itself, run without a terminal: it shows its introduction on
// standard output, nobody can choose a run, and nothing is changed.
TEST_F(SetupRun, ProgramWithoutATerminalChangesNothing) {
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  Filing(6, converter);
  tk::test::ToolResult r;
  {
    const tk::test::EnvVar config("XDG_CONFIG_HOME", appdata.c_str());
    const tk::test::EnvVar registry("TK_REGISTRY_DIR", (scratch / "registry").c_str());
    r = tk::test::RunTool({(run / "pellwick").string()});
  }
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string intro;
  for (const auto& l : setup::kIntroduction) intro += l + "\n";
  EXPECT_EQ(r.out, intro);
  EXPECT_NE(r.err.find("はい：設定"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), "[USERAPP]\nAppCnt=0\n");
  EXPECT_FALSE(fs::exists(run / "tarnwick.ini"));
}

// Its standard output a pipe whose reader is gone: the lines it shows are
// writes that fail, not the end of the run half-way.
TEST_F(SetupRun, ProgramWhoseOutputNobodyReadsEndsAsItShould) {
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  Config("pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  tk::test::ToolResult r;
  {
    const tk::test::EnvVar config("XDG_CONFIG_HOME", appdata.c_str());
    const tk::test::EnvVar registry("TK_REGISTRY_DIR", (scratch / "registry").c_str());
    r = tk::test::RunTool({"/bin/sh", "-c", "{ sleep 0.3; \"$0\" 2>/dev/null; echo $? > \"$1\"; } | true",
                           (run / "pellwick").string(), (scratch / "status").string()});
  }
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(scratch / "status"), "0\n");
  EXPECT_EQ(ReadFileBytes(cfgDir / "pfussmon.cfg"), "[USERAPP]\nAppCnt=0\n");
}

}  // namespace

TEST_F(SetupRun, ForeignScannerWindowOnTheDesktopIsClosedAndItsProgramStartedAgain) {
  TK_REQUIRE_TOOL("xprop");
  tk::test::TestDesktop desk;
  TK_REQUIRE_DESKTOP(desk);
  tk::test::EnvVar display("DISPLAY", desk.Name().c_str());
  // The scanner software: another program's X window, from its own folder.
  const fs::path scanner = scratch / "PFU Scanner" / "pfussmon";
  fs::create_directories(scanner.parent_path());
  fs::copy_file(tk::test::HelperDir() / "tk_x_window", scanner);
  tk::test::EnvVar title("TK_X_WINDOW_TITLE", "ScanSnap Manager");
  const int first = tk::test::StartProcess({scanner.string()});
  ASSERT_GT(first, 0);
  // The scanner's window as the window list gives it: not ours, and its pid.
  auto scannerWindow = [](int notPid) -> os::TWindowRecord {
    for (const auto& r : os::AllWindows())
      if (os::IsXWindowHandle(r.Handle) && r.Title == "ScanSnap Manager" && r.Pid != notPid) return r;
    return {};
  };
  ASSERT_TRUE(WaitFor([&] { return scannerWindow(0).Pid == first; }, 5000));

  setup::TForm1* f = Start();
  f->Start = [](const std::string& file, const std::vector<std::string>& args, const std::string& dir) {
    return os::ShellExecute(file, args, dir);
  };  // the real start, so the program runs again
  const std::string memo = Press(f);
  EXPECT_NE(memo.find("☆ScanSnapの設定をします\nScanSnapManagerを終了します\n"), std::string::npos) << memo;
  EXPECT_NE(memo.find("ScanSnapManagerを立ち上げます\n"), std::string::npos) << memo;
  EXPECT_EQ(memo.find("終了しません"), std::string::npos) << memo;
  // It took the window manager's close and ended by itself.
  EXPECT_EQ(tk::test::WaitProcess(first, 5000), 0);
  // Started again from its own executable: a new process shows the window.
  os::TWindowRecord again;
  EXPECT_TRUE(WaitFor([&] { return (again = scannerWindow(first)).Pid != 0; }, 10000));
  EXPECT_EQ(again.Exe, scanner.string());
  if (again.Pid) {
    EXPECT_TRUE(os::SendMessage(again.Handle, os::WM_CLOSE, 0, 5000));
  }
}

// The program on a desktop: its window comes with its caption, is told by
// the desktop as this program's own (its window class is not the
// converter's), and closes on the window manager's close request.
TEST_F(SetupRun, ProgramWindowOnTheDesktopIsItsOwnAndCloses) {
  TK_REQUIRE_TOOL("xdotool");
  TK_REQUIRE_TOOL("xprop");
  TK_REQUIRE_TOOL("wmctrl");
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / "pellwick")) << "build the pellwick target first";
  tk::test::TestDesktop& desk = tk::test::TestDesktop::Shared();
  TK_REQUIRE_DESKTOP(desk);
  fs::copy_file(tk::test::RunDir() / "pellwick", run / "pellwick");
  tk::test::EnvVar display("DISPLAY", desk.Name().c_str());
  tk::test::EnvVar windows("TK_HEADLESS", nullptr);
  tk::test::EnvVar config("XDG_CONFIG_HOME", appdata.c_str());
  tk::test::EnvVar registry("TK_REGISTRY_DIR", (scratch / "registry").c_str());
  const int pid = tk::test::StartProcess({(run / "pellwick").string()}, scratch.path());
  ASSERT_GT(pid, 0);
  std::string id;
  EXPECT_TRUE(WaitFor(
      [&] {
        id = tk::test::RunTool(
                 {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid), "--name", "Tarnwick"})
                 .out;
        return !id.empty();
      },
      20000));
  id = id.substr(0, id.find('\n'));
  if (!id.empty()) {
    const std::string props = tk::test::RunTool({"xprop", "-id", id, "WM_CLASS", "_NET_WM_NAME"}).out;
    EXPECT_NE(props.find("\"pellwick\""), std::string::npos) << props;
    EXPECT_EQ(props.find("\"tarnwick\""), std::string::npos) << props;
    EXPECT_NE(props.find(setup::kMainCaption), std::string::npos) << props;
    tk::test::RunTool({"wmctrl", "-i", "-c", id});
  }
  EXPECT_EQ(tk::test::WaitProcess(pid, 20000), 0);
}
