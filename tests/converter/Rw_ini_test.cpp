#include "converter/Rw_ini.h"

#include <gtest/gtest.h>

#include "ConverterFixture.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

using ::converter::Settings;

class RwIni : public ConverterFixture {};

TEST_F(RwIni, FilesLieBesideTheExecutable) {
  EXPECT_EQ(::converter::IniFileName(), (run / "tarnwick.ini").string());
  EXPECT_EQ(::converter::LogFileName(), (run / "tarnwick.log").string());
  EXPECT_EQ(::converter::ExeFolder(), run.string() + "/");
  EXPECT_EQ(::converter::WorkFolder(), run.string() + "/cmdline/");
}

TEST_F(RwIni, MissingFileGivesTheDefaults) {
  Settings.Top = 5;
  Settings.Launch = "x";
  ::converter::LoadSettings();
  EXPECT_EQ(Settings.Top, 0);
  EXPECT_EQ(Settings.Left, 0);
  EXPECT_EQ(Settings.DoLaunch, 0);
  EXPECT_EQ(Settings.Launch, "");
  EXPECT_EQ(Settings.DD, 0);
  EXPECT_EQ(Settings.ORG, 0);
  EXPECT_EQ(Settings.TRG, 0);
  EXPECT_EQ(Settings.Path, run.string() + "/");
}

TEST_F(RwIni, ValuesTable) {
  struct Case {
    const char* ini;
    int top, left, dd, org, trg, doLaunch;
    const char* launch;
  } cases[] = {
      {"[Pos]\nTop=12\nLeft=-3\n", 12, -3, 0, 0, 0, 0, ""},
      {"[Mode]\nDD=1\n[NoDel]\nORG=1\nTRG=7\n", 0, 0, 1, 1, 7, 0, ""},
      {"[Pos]\nTop=abc\n[Mode]\nDD=\n", 0, 0, 0, 0, 0, 0, ""},  // no number: 0
      {"[App]\nDoLaunch=1\nLaunch=/opt/filing/app\n", 0, 0, 0, 0, 0, 1, "/opt/filing/app"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ini);
    Ini(c.ini);
    ::converter::LoadSettings();
    EXPECT_EQ(Settings.Top, c.top);
    EXPECT_EQ(Settings.Left, c.left);
    EXPECT_EQ(Settings.DD, c.dd);
    EXPECT_EQ(Settings.ORG, c.org);
    EXPECT_EQ(Settings.TRG, c.trg);
    EXPECT_EQ(Settings.DoLaunch, c.doLaunch);
    EXPECT_EQ(Settings.Launch, c.launch);
  }
}

TEST_F(RwIni, SaveWritesEveryKeyAndKeepsTheRest) {
  Ini("; written by hand\n[Other]\nKeep=yes\n[App]\nLaunch=/old\n");
  Settings = {};
  Settings.Top = 40;
  Settings.Left = 50;
  Settings.DD = 1;
  Settings.TRG = 1;
  Settings.Launch = "/new app";
  Settings.Path = "/docs/";
  ::converter::SaveSettings();
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadString("Other", "Keep", ""), "yes");
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), "/new app");
  EXPECT_EQ(ini.ReadString("Pos", "Top", ""), "40");
  EXPECT_EQ(ini.ReadString("NoDel", "ORG", ""), "0");
  EXPECT_EQ(ini.ReadString("PDF", "Path", ""), "/docs/");
  EXPECT_NE(ReadFileBytes(run / "tarnwick.ini").find("; written by hand"), std::string::npos);
  Settings = {};
  ::converter::LoadSettings();
  EXPECT_EQ(Settings.Left, 50);
  EXPECT_EQ(Settings.DD, 1);
  EXPECT_EQ(Settings.Path, "/docs/");
}

TEST_F(RwIni, LogReadingStopsAtTheFirstEmptyKey) {
  WriteFileBytes(run / "tarnwick.log", "[File]\nLogs0=/a.tif\nLogs2=/c.tif\n");
  EXPECT_EQ(::converter::ReadLog(), (std::vector<std::string>{"/a.tif"}));
}

TEST_F(RwIni, WritingTheLogClearsKeysOfALongerEarlierList) {
  WriteFileBytes(run / "tarnwick.log", "[File]\nLogs0=/a.tif\nLogs1=/b.tif\nLogs2=/c.tif\n[Other]\nX=1\n");
  ::converter::WriteLog({"/new.tif"});
  rtl::TIniFile log((run / "tarnwick.log").string());
  EXPECT_EQ(log.ReadString("File", "Logs0", ""), "/new.tif");
  EXPECT_EQ(log.ReadString("File", "Logs1", ""), "");
  EXPECT_EQ(log.ReadString("File", "Logs2", ""), "");
  EXPECT_EQ(log.ReadString("Other", "X", ""), "1");
  ::converter::WriteLog({});
  EXPECT_TRUE(::converter::ReadLog().empty());
  ::converter::DeleteLog();
  EXPECT_FALSE(fs::exists(run / "tarnwick.log"));
}

}  // namespace
}  // namespace tk::test::converter
