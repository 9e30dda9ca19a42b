#include "setup/Rw_ini.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

// Debian's own ini reader as the oracle: section -> key -> value.
std::string PythonDump(const fs::path& file) {
  const char* script =
      "import configparser,sys\n"
      "c=configparser.ConfigParser(interpolation=None,strict=False)\n"
      "c.optionxform=str\n"
      "c.read(sys.argv[1],encoding='utf-8')\n"
      "for s in c.sections():\n"
      "  for k,v in c.items(s): print(s+'/'+k+'='+v)\n";
  auto r = tk::test::RunTool({"/usr/bin/python3", "-c", script, file.string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.out;
}

}  // namespace

TEST(ScannerConfigTest, ReadTakesAllFiveEntriesWhateverTheCountSays) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  WriteFileBytes(cfg,
                 "[USERAPP]\r\nAppCnt=2\r\nAppPath_100=/a\r\nAppName_100=A\r\nAppCmmd_100=%M\r\n"
                 "AppPath_104=/e\r\nAppPath_106=/g\r\n[CONFIG_M]\r\nSbAppID=104\r\n");
  setup::ReadScannerConfig(cfg.string());
  const auto& c = setup::ScannerConfig;
  EXPECT_EQ(c.AppCnt, 2);
  EXPECT_EQ(c.AppPath[0], "/a");
  EXPECT_EQ(c.AppName[0], "A");
  EXPECT_EQ(c.AppCmmd[0], "%M");
  EXPECT_EQ(c.AppPath[1], "");
  EXPECT_EQ(c.AppPath[4], "/e");
  EXPECT_EQ(c.SbAppID, 104);

  setup::ReadScannerConfig((scratch / "missing.cfg").string());
  EXPECT_EQ(setup::ScannerConfig.AppCnt, 0);
  EXPECT_EQ(setup::ScannerConfig.AppPath[0], "");
  EXPECT_EQ(setup::ScannerConfig.SbAppID, 0);
  EXPECT_FALSE(fs::exists(scratch / "missing.cfg"));
}

TEST(ScannerConfigTest, WriteTouchesOnlyItsKeysAndTheEntriesBelowTheCount) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  WriteFileBytes(
      cfg,
      "; scanner settings\r\n[GENERAL]\r\nLang=ja\r\n[USERAPP]\r\nAppCnt=3\r\nAppPath_100=/a\r\n"
      "AppPath_102=/old\r\nAppName_102=Old\r\nOther=keep\r\n[CONFIG_M]\r\nSbAppID=101\r\nScanMode=2\r\n");
  setup::ReadScannerConfig(cfg.string());
  setup::ScannerConfig.AppCnt = 2;
  setup::ScannerConfig.AppPath[1] = "/b c/d";
  setup::ScannerConfig.AppName[1] = "Corvane☆ for Lumoraファイリング";
  setup::ScannerConfig.AppCmmd[1] = "%M";
  setup::ScannerConfig.SbAppID = 0;
  setup::WriteScannerConfig(cfg.string());
  EXPECT_EQ(PythonDump(cfg),
            "GENERAL/Lang=ja\n"
            "USERAPP/AppCnt=2\n"
            "USERAPP/AppPath_100=/a\n"
            "USERAPP/AppPath_102=/old\n"  // beyond the count: left as it was
            "USERAPP/AppName_102=Old\n"
            "USERAPP/Other=keep\n"
            "USERAPP/AppName_100=\n"
            "USERAPP/AppCmmd_100=\n"
            "USERAPP/AppPath_101=/b c/d\n"
            "USERAPP/AppName_101=Corvane☆ for Lumoraファイリング\n"
            "USERAPP/AppCmmd_101=%M\n"
            "CONFIG_M/SbAppID=0\n"
            "CONFIG_M/ScanMode=2\n");
  EXPECT_EQ(ReadFileBytes(cfg).rfind("; scanner settings\r\n[GENERAL]\r\nLang=ja\r\n", 0), 0u);
}

// A count that is not one the table can hold says nothing sure about the
// entries: the read refuses it, and what was read before stays.
TEST(ScannerConfigTest, ACountThatIsNoNumberOfTheTableIsRefused) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  struct Case {
    const char* value;
    int count;  // -1: refused
  } cases[] = {
      {"0", 0},    {"5", 5},    {" 3 ", 3}, {"+2", 2},   {"03", 3},
      {"7", -1},   {"6", -1},   {"-1", -1}, {"two", -1}, {"0x3", -1},
      {"3.0", -1}, {"2 3", -1}, {"", -1},   {"-", -1},   {"99999999999", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    WriteFileBytes(cfg, std::string("[USERAPP]\nAppCnt=") + c.value + "\nAppPath_100=/mine\n");
    setup::ScannerConfig = {};
    setup::ScannerConfig.AppPath[0] = "before";
    if (c.count >= 0) {
      setup::ReadScannerConfig(cfg.string());
      EXPECT_EQ(setup::ScannerConfig.AppCnt, c.count);
      EXPECT_EQ(setup::ScannerConfig.AppPath[0], "/mine");
      continue;
    }
    try {
      setup::ReadScannerConfig(cfg.string());
      ADD_FAILURE() << "taken";
    } catch (const setup::EScannerConfigError& e) {
      EXPECT_EQ(e.Message, "AppCntの値「" + rtl::Trim(c.value) + "」が0～5の数ではありません");
    }
    EXPECT_EQ(setup::ScannerConfig.AppPath[0], "before");
  }
  // No count at all: an empty table, as the scanner software reads it.
  WriteFileBytes(cfg, "[USERAPP]\n");
  setup::ReadScannerConfig(cfg.string());
  EXPECT_EQ(setup::ScannerConfig.AppCnt, 0);
  // A file that is there but cannot be read is not an empty table.
  fs::remove(cfg);
  fs::create_directories(cfg);
  EXPECT_THROW(setup::ReadScannerConfig(cfg.string()), rtl::EIniFileException);
}

TEST(ScannerConfigTest, WriteNeverGoesPastTheTable) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  for (int count : {-2, 9}) {
    SCOPED_TRACE(count);
    setup::ScannerConfig = {};
    setup::ScannerConfig.AppCnt = count;
    setup::WriteScannerConfig(cfg.string());
    EXPECT_EQ(rtl::TIniFile(cfg.string()).ReadInteger("USERAPP", "AppCnt", 0), count);
  }
  EXPECT_EQ(ReadFileBytes(cfg).find("_105"), std::string::npos);
}

// The table is replaced whole or not at all: a write that runs out of room
// (a file-size limit stands for a full disk) fails with the old file as it
// was, and a save killed in the middle (the limit's own signal) leaves it
// whole as well.
TEST(ScannerConfigTest, AFailedOrKilledWriteLeavesTheOldTableWhole) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  const std::string before =
      "[USERAPP]\nAppCnt=3\nAppPath_100=/a\nAppName_100=A\nAppCmmd_100=%M\nAppPath_101=/b\nAppName_101=B\n"
      "AppCmmd_101=%F\nAppPath_102=/c\nAppName_102=C\nAppCmmd_102=%C\n[CONFIG_M]\nSbAppID=101\n";
  struct Case {
    const char* label;
    bool killed;  // SIGXFSZ not ignored: it ends the process at the limit
  } cases[] = {{"the write fails", false}, {"the process is killed", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFileBytes(cfg, before);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The removal of entry 0: every entry moves, so a half-written table
      // would mix them.
      setup::ReadScannerConfig(cfg.string());
      auto& t = setup::ScannerConfig;
      for (int j = 0; j < 2; ++j) t.AppPath[j] = t.AppPath[j + 1], t.AppName[j] = t.AppName[j + 1];
      t.AppCmmd[0] = std::string(4000, 'x');  // past the limit
      t.AppCnt = 2;
      t.SbAppID = 0;
      const rlimit core{0, 0}, size{1024, 1024};
      ::setrlimit(RLIMIT_CORE, &core);
      if (!c.killed) ::signal(SIGXFSZ, SIG_IGN);
      ::setrlimit(RLIMIT_FSIZE, &size);
      try {
        setup::WriteScannerConfig(cfg.string());
      } catch (const rtl::EIniFileException&) {
        ::_exit(3);
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (c.killed) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    }
    EXPECT_EQ(ReadFileBytes(cfg), before);
    // A killed save leaves its temporary file, which the next run removes.
    size_t others = 0;
    for (const auto& e : fs::directory_iterator(scratch.path())) others += e.path() != cfg;
    EXPECT_EQ(others, c.killed ? 1u : 0u);
    rtl::TIniFile(cfg.string()).RemoveStaleTemporaries();
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), fs::directory_iterator()), 1);
  }
}

TEST(ScannerConfigTest, AFileNobodyMayChangeIsReadOnly) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  WriteFileBytes(cfg, "[USERAPP]\n");
  EXPECT_FALSE(setup::ReadOnlyFile(cfg.string()));
  EXPECT_FALSE(setup::ReadOnlyFile((scratch / "missing.cfg").string()));
  // Read-only by its mode: the user's choice, even where the user could
  // still write it.
  ::chmod(cfg.c_str(), 0444);
  EXPECT_TRUE(setup::ReadOnlyFile(cfg.string()));
  ::chmod(cfg.c_str(), 0644);
  // A link to it stands for it.
  fs::create_symlink(cfg, scratch / "link.cfg");
  ::chmod(cfg.c_str(), 0400);
  EXPECT_TRUE(setup::ReadOnlyFile((scratch / "link.cfg").string()));
  ::chmod(cfg.c_str(), 0644);
  // A folder the user may not write: the file cannot be replaced there.
  const tk::test::User user = tk::test::OrdinaryUser();
  ::chmod(scratch.path().c_str(), 0755);
  ::chmod(cfg.c_str(), 0666);
  EXPECT_EQ(tk::test::CallAs(user, [&] { return setup::ReadOnlyFile(cfg.string()) ? "ro" : "rw"; }),
            user.uid == ::geteuid() ? "rw" : "ro");
}

TEST(LaunchSettingsTest, OnlyTheTwoKeysOfAppChange) {
  ScratchDir scratch;
  rtl::SetExecutableFileName((scratch / "pellwick").string());
  EXPECT_EQ(setup::ConverterFileName(), (scratch / "tarnwick").string());
  WriteFileBytes(scratch / "tarnwick.ini",
                 "[Pos]\nTop=9\n[App]\nDoLaunch=0\nLaunch=\nExtra=1\n[PDF]\nPath=/docs/\n");
  setup::LaunchSettings = {1, "/opt/Lumora Filing/lumora_filing"};
  setup::WriteConverterIni();
  EXPECT_EQ(PythonDump(scratch / "tarnwick.ini"),
            "Pos/Top=9\nApp/DoLaunch=1\nApp/Launch=/opt/Lumora "
            "Filing/lumora_filing\nApp/Extra=1\nPDF/Path=/docs/\n");
  // A value that would make a line of its own is refused before any key.
  const std::string before = ReadFileBytes(scratch / "tarnwick.ini");
  setup::LaunchSettings = {0, "/opt/x\n[Mode]\nDD=1"};
  EXPECT_THROW(setup::WriteConverterIni(), rtl::EIniFileException);
  EXPECT_EQ(ReadFileBytes(scratch / "tarnwick.ini"), before);
  rtl::SetExecutableFileName("");
}
