#include "converter/Rw_ini.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ConverterFixture.h"
#include "platform/os/Processes.h"
#include "platform/os/Windows.h"
#include "platform/rtl/IniFiles.h"

namespace tk::test::converter {
namespace {

using ::converter::Settings;

class RwIni : public ConverterFixture {};

TEST_F(RwIni, FilesLieBesideTheExecutable) {
  EXPECT_EQ(::converter::IniFileName(), (run / "tarnwick.ini").string());
  EXPECT_EQ(::converter::LogFileName(), (run / "tarnwick.log").string());
  EXPECT_EQ(::converter::ExeFolder(), run.string() + "/");
  EXPECT_EQ(::converter::WorkRoot(), run.string() + "/cmdline/");
  EXPECT_EQ(::converter::WorkFolder(), run.string() + "/cmdline/" + std::to_string(::getpid()) + "-" +
                                           std::to_string(os::ProcessStartTime(::getpid())) + "/");
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
  ::converter::WriteLog({{"/new.tif", ""}});
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

TEST_F(RwIni, SettingsThatExistButCannotBeReadRaise) {
  // Their defaults would delete what the user keeps: the caller must know.
  const fs::path ini = run / "tarnwick.ini";
  for (const auto& c : UnreadableFiles()) {
    SCOPED_TRACE(c.label);
    if (!UnreadableIni(c)) continue;
    try {
      ::converter::LoadSettings();
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Unable to read " + ini.string() + ": ", 0), 0u) << e.what();
    }
  }
}

TEST_F(RwIni, SettingsAreSavedInOneReplacement) {
  Ini("[Other]\nKeep=yes\n");
  struct stat before;
  ASSERT_EQ(::stat((run / "tarnwick.ini").c_str(), &before), 0);
  Settings = {};
  Settings.Launch = "/opt/app";
  ::converter::SaveSettings();
  // One rename: every key is in the first new file, and no temporary file
  // is left beside it.
  rtl::TIniFile ini((run / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), "/opt/app");
  EXPECT_EQ(ini.ReadString("Other", "Keep", ""), "yes");
  for (const auto& e : fs::directory_iterator(run))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  // A name that would break the file is refused, and the file stays.
  const std::string kept = ReadFileBytes(run / "tarnwick.ini");
  Settings.Launch = "/opt/two\nlines";
  EXPECT_THROW(::converter::SaveSettings(), rtl::EIniFileException);
  EXPECT_EQ(ReadFileBytes(run / "tarnwick.ini"), kept);
}

TEST_F(RwIni, LogNamesOfAnyKindReadBackAsWritten) {
  const std::vector<std::string> names = {
      "/docs/plain scan.tif",
      "/docs/line\nbreak.tif",
      "/docs/carriage\rreturn.tif",
      "/docs/ends in a blank.tif ",
      " /docs/starts with a blank.tif",
      "/docs/tab\there.tif",
      "/docs/\"quoted\".tif",
      "/docs/100%.tif",
      "%2Fdocs%2Flooks encoded.tif",
      "/docs/日本語.tif",
      "relative.tif",
  };
  std::vector<::converter::TLogEntry> entries;
  for (const auto& n : names) entries.push_back({n, "1:2:3:4.5"});
  ::converter::WriteLog(entries);
  const auto read = ::converter::ReadLogEntries();
  ASSERT_EQ(read.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(read[i].Path, names[i]);
    EXPECT_EQ(read[i].Mark, "1:2:3:4.5");
  }
  // Plain names stay readable as they are, to people and to older versions.
  EXPECT_NE(ReadFileBytes(run / "tarnwick.log").find("Logs0=/docs/plain scan.tif\n"), std::string::npos);
}

TEST_F(RwIni, LogsOfEarlierVersionsAndDamagedValuesRead) {
  struct Case {
    const char* value;
    const char* path;
  } cases[] = {
      {"/docs/old.tif", "/docs/old.tif"},  // written before names were encoded
      {"%2Fdocs%2Fa%0Ab.tif", "/docs/a\nb.tif"},
      {"%2Fdocs%2Fcut%0", ""},  // not an encoding: no name
      {"%zz", ""},
      {"%00", ""},  // no name holds a zero byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    WriteFileBytes(run / "tarnwick.log", std::string("[File]\nLogs0=") + c.value + "\n");
    const auto read = ::converter::ReadLogEntries();
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].Path, c.path);
    EXPECT_EQ(read[0].Mark, "");
  }
}

TEST_F(RwIni, FileMarkTellsAFileFromItsReplacement) {
  const fs::path f = docs / "scan.tif";
  WriteFileBytes(f, "first");
  const std::string mark = ::converter::FileMark(f.string());
  EXPECT_FALSE(mark.empty());
  EXPECT_EQ(::converter::FileMark(f.string()), mark);
  // Another file under the name, even of the same size.
  fs::remove(f);
  WriteFileBytes(docs / "other", "other");
  fs::rename(docs / "other", f);
  EXPECT_NE(::converter::FileMark(f.string()), mark);
  // Only regular files have one; a link is not followed.
  fs::create_symlink(f, docs / "link.tif");
  EXPECT_EQ(::converter::FileMark((docs / "link.tif").string()), "");
  EXPECT_EQ(::converter::FileMark(docs.string()), "");
  EXPECT_EQ(::converter::FileMark((docs / "none.tif").string()), "");
}

TEST_F(RwIni, WorkFoldersOfConvertersNoLongerRunningAreRemoved) {
  const fs::path root = WorkRoot();
  // One that runs (a child of ours), one that ended, one whose id is in use
  // by a process that started at another time, and folders of other names.
  os::TProcessStartInfo i;
  i.Program = "/bin/sleep";
  i.Args = {"sleep", "30"};
  auto running = os::TProcess::Spawn(i);
  ASSERT_NE(running, nullptr);
  const int pid = running->Pid();
  const std::string live = std::to_string(pid) + "-" + std::to_string(os::ProcessStartTime(pid));
  auto ended = os::TProcess::Spawn(i);
  ASSERT_NE(ended, nullptr);
  const std::string dead =
      std::to_string(ended->Pid()) + "-" + std::to_string(os::ProcessStartTime(ended->Pid()));
  ended->Kill();
  ended->Wait(os::INFINITE);
  const std::string reused = std::to_string(pid) + "-1";
  for (const auto& n : {live, dead, reused, std::string("notes"), std::string("12-x")}) {
    fs::create_directories(root / n / "sub");
    WriteFileBytes(root / n / "$$temp$$.tif", "x");
  }
  // Ours, left by an earlier process of the same id and start time.
  fs::create_directories(Work() / "$$temp$$.pdf");
  // A link named like a work folder is not followed.
  fs::create_directories(docs / "elsewhere");
  WriteFileBytes(docs / "elsewhere" / "keep.tif", "x");
  fs::create_directory_symlink(docs / "elsewhere", root / "1-1");
  WriteFileBytes(root / "pdfimages", "tool");

  ASSERT_TRUE(::converter::PrepareWorkFolder());
  EXPECT_TRUE(fs::exists(root / live / "$$temp$$.tif"));
  EXPECT_FALSE(fs::exists(root / dead));
  EXPECT_FALSE(fs::exists(root / reused));
  EXPECT_TRUE(fs::exists(root / "notes" / "sub"));
  EXPECT_TRUE(fs::exists(root / "12-x" / "sub"));
  EXPECT_TRUE(fs::exists(docs / "elsewhere" / "keep.tif"));
  EXPECT_TRUE(fs::exists(root / "pdfimages"));
  ASSERT_TRUE(fs::is_directory(Work()));
  EXPECT_TRUE(fs::is_empty(Work()));
  running->Kill();
  running->Wait(os::INFINITE);

  WriteFileBytes(Work() / "left", "x");
  fs::create_directories(Work() / "folder" / "deep");
  ::converter::ClearWorkFolder();
  EXPECT_TRUE(fs::is_empty(Work()));
  ::converter::RemoveWorkFolder();
  EXPECT_FALSE(fs::exists(Work()));
}

}  // namespace
}  // namespace tk::test::converter
