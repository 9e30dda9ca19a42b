#include "setup/Rw_ini.h"

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
                 "[USERAPP]\r\nAppCnt=7\r\nAppPath_100=/a\r\nAppName_100=A\r\nAppCmmd_100=%M\r\n"
                 "AppPath_104=/e\r\nAppPath_106=/g\r\n[CONFIG_M]\r\nSbAppID=104\r\n");
  setup::ReadScannerConfig(cfg.string());
  const auto& c = setup::ScannerConfig;
  EXPECT_EQ(c.AppCnt, 7);
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

TEST(ScannerConfigTest, WriteNeverGoesPastTheTable) {
  ScratchDir scratch;
  const fs::path cfg = scratch / "pfussmon.cfg";
  for (int count : {-2, 9}) {
    SCOPED_TRACE(count);
    setup::ScannerConfig = {};
    setup::ScannerConfig.AppCnt = count;
    setup::WriteScannerConfig(cfg.string());
    setup::ReadScannerConfig(cfg.string());
    EXPECT_EQ(setup::ScannerConfig.AppCnt, count);
  }
  EXPECT_EQ(ReadFileBytes(cfg).find("_105"), std::string::npos);
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
