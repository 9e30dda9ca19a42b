#include "platform/rtl/IniFiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/TestSupport.h"

namespace {

using rtl::TIniContent;
using rtl::TIniFile;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

const char* kSample =
    "; settings\r\n"
    "[Pos]\r\n"
    "Top = 120\r\n"
    "Left=  -5  \r\n"
    "\r\n"
    "[App]\r\n"
    "Launch=\"/opt/filing/run me\"\r\n"
    "DoLaunch=yes\r\n"
    "launch=second\r\n"
    "odd line without equals\r\n"
    "[pos]\r\n"
    "Top=999\r\n"
    "Extra=only here\r\n";

TEST(IniContent, ReadsWithTheProfileRules) {
  TIniContent c(kSample);
  struct Case {
    const char* section;
    const char* key;
    bool found;
    const char* value;
  } cases[] = {
      {"Pos", "Top", true, "120"},
      {"POS", "top", true, "120"},                    // case ignored, first section wins
      {"Pos", "Left", true, "-5"},                    // blanks around the value go
      {"App", "Launch", true, "/opt/filing/run me"},  // enclosing quotes go
      {"app", "LAUNCH", true, "/opt/filing/run me"},  // first key wins
      {"Pos", "Extra", false, ""},                    // only in the second [pos]
      {"App", "odd line without equals", false, ""},
      {"Missing", "Top", false, ""},
      {"Pos", "", false, ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.section) + "/" + k.key);
    std::string v;
    EXPECT_EQ(c.Find(k.section, k.key, v), k.found);
    if (k.found) {
      EXPECT_EQ(v, k.value);
    }
  }
  EXPECT_EQ(c.Sections(), (std::vector<std::string>{"Pos", "App"}));
  EXPECT_EQ(c.Keys("app"), (std::vector<std::string>{"Launch", "DoLaunch", "launch"}));
}

TEST(IniContent, AWriteTouchesOnlyItsOwnLine) {
  struct Case {
    const char* name;
    const char* before;
    const char* section;
    const char* key;
    const char* value;
    const char* after;
  } cases[] = {
      {"replace keeps the file's spelling", "[A]\nx=1\nKey = old ; c\ny=2\n", "a", "KEY", "new",
       "[A]\nx=1\nKey=new\ny=2\n"},
      {"add at the end of the section, before blank lines", "[A]\nx=1\n\n[B]\ny=2\n", "A", "z", "3",
       "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
      {"add a section at the end", "[A]\nx=1\n", "B", "k", "v", "[A]\nx=1\n[B]\nk=v\n"},
      {"a last line without a break", "[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
      {"a last line ending in a lone CR", "[A]\nx=1\r", "A", "y", "2", "[A]\nx=1\r\ny=2\n"},
      {"a new section after a last line without a break", "[A]\nx=1", "B", "y", "2", "[A]\nx=1\n[B]\ny=2\n"},
      {"CR LF files get CR LF lines", "[A]\r\nx=1\r\n", "A", "y", "2", "[A]\r\nx=1\r\ny=2\r\n"},
      {"empty file", "", "S", "k", "", "[S]\nk=\n"},
      {"only the first of duplicate keys", "[A]\nk=1\nk=2\n", "A", "k", "9", "[A]\nk=9\nk=2\n"},
      {"section with only a header", "[A]\n[B]\n", "A", "k", "1", "[A]\nk=1\n[B]\n"},
      {"a byte order mark does not hide the first section", "\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2",
       "\xEF\xBB\xBF[A]\nk=2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TIniContent ini(c.before);
    EXPECT_TRUE(ini.Write(c.section, c.key, c.value));
    EXPECT_EQ(ini.Bytes(), c.after);
  }
}

TEST(IniContent, NamesAndValuesThatWouldBreakTheFileAreRefused) {
  TIniContent ini("[A]\nk=1\n");
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {{"A", "k", "1\n[B]\nx=2"}, {"A", "k=x", "1"}, {"A]", "k", "1"}, {"A", "", "1"}, {"", "k", "1"},
               {"A", "a\rb", "1"},        {"A", "[k", "1"},  {"A", ";k", "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_FALSE(ini.Write(c.section, c.key, c.value));
    EXPECT_EQ(ini.Bytes(), "[A]\nk=1\n");
  }
}

TEST(IniContent, DeleteKeyAndEraseSection) {
  TIniContent ini("[A]\nk=1\nj=2\nK=3\n[B]\nk=4\n[a]\nk=5\n");
  ini.DeleteKey("a", "K");
  EXPECT_EQ(ini.Bytes(), "[A]\nj=2\n[B]\nk=4\n[a]\n");
  ini.EraseSection("A");
  EXPECT_EQ(ini.Bytes(), "[B]\nk=4\n");
  ini.EraseSection("none");
  EXPECT_EQ(ini.Bytes(), "[B]\nk=4\n");
}

TEST(IniFile, MissingFileGivesDefaultsAndTheFirstWriteCreatesIt) {
  ScratchDir d;
  std::string f = (d / "tarnwick.ini").string();
  TIniFile ini(f);
  EXPECT_EQ(ini.ReadString("PDF", "Path", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadInteger("Pos", "Top", 7), 7);
  EXPECT_TRUE(ini.ReadBool("Mode", "DD", true));
  EXPECT_FALSE(ini.SectionExists("Pos"));
  EXPECT_FALSE(rtl::FileExists(f));
  ini.DeleteKey("Pos", "Top");  // nothing to delete: no file appears
  ini.EraseSection("Pos");
  EXPECT_FALSE(rtl::FileExists(f));
  ini.WriteInteger("Pos", "Top", -3);
  EXPECT_EQ(ReadFileBytes(f), "[Pos]\nTop=-3\n");
  ini.WriteBool("Mode", "DD", true);
  ini.WriteBool("Mode", "DE", false);
  EXPECT_EQ(ReadFileBytes(f), "[Pos]\nTop=-3\n[Mode]\nDD=1\nDE=0\n");
  EXPECT_EQ(ini.ReadInteger("pos", "TOP", 0), -3);
  EXPECT_TRUE(ini.ReadBool("Mode", "DD", false));
  EXPECT_FALSE(ini.ReadBool("Mode", "DE", true));
}

TEST(IniFile, IntegersFallBackToTheDefaultWhenNoNumber) {
  ScratchDir d;
  std::string f = (d / "s.ini").string();
  WriteFileBytes(f, "[N]\na=12\nb=abc\nc=\nd= 0x1F \ne=$10\nf=12abc\ng=\"5\"\nh=99999999999\ni=-0\n");
  TIniFile ini(f);
  struct Case {
    const char* key;
    int value;
  } cases[] = {{"a", 12}, {"b", 0}, {"c", 0}, {"d", 31}, {"e", 16},
               {"f", 0},  {"g", 5}, {"h", 0}, {"i", 0},  {"z", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(ini.ReadInteger("N", c.key, 0), c.value);
  }
  EXPECT_EQ(ini.ReadInteger("N", "b", 42), 42);
  EXPECT_TRUE(ini.ReadBool("N", "a", false));
  EXPECT_TRUE(ini.ReadBool("N", "b", true));  // no number: the default
}

TEST(IniFile, EveryOtherByteSurvivesAWrite) {
  ScratchDir d;
  std::string f = (d / "s.ini").string();
  WriteFileBytes(f, kSample);
  ::chmod(f.c_str(), 0640);
  TIniFile ini(f);
  ini.WriteString("APP", "doLaunch", "1");
  std::string expected = kSample;
  expected.replace(expected.find("DoLaunch=yes"), 12, "DoLaunch=1");
  EXPECT_EQ(ReadFileBytes(f), expected);
  struct stat st;
  ::stat(f.c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replacement keeps the permissions

  ini.WriteString("App", "DoLaunch", "1");  // same value: the file is not rewritten
  EXPECT_EQ(ReadFileBytes(f), expected);

  // No temporary file is left beside it.
  rtl::TSearchRec sr;
  int n = 0;
  for (int r = rtl::FindFirst(d.path().string() + "/*", rtl::faAnyFile, sr); r == 0; r = rtl::FindNext(sr))
    ++n;
  EXPECT_EQ(n, 1);
}

TEST(IniFile, AWriteReplacesTheFileAtomically) {
  // A reader that opened the old file keeps seeing the old content; a link to
  // the settings file stays a link.
  ScratchDir d;
  std::string f = (d / "real.ini").string(), link = (d / "link.ini").string();
  WriteFileBytes(f, "[A]\nk=1\n");
  ASSERT_EQ(::symlink(f.c_str(), link.c_str()), 0);
  struct stat before;
  ::stat(f.c_str(), &before);
  rtl::TFileStream old(f, rtl::fmOpenRead);
  TIniFile ini(link);
  ini.WriteString("A", "k", "2");
  struct stat lst, after;
  ::lstat(link.c_str(), &lst);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  ::stat(f.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file, renamed into place
  EXPECT_EQ(ReadFileBytes(f), "[A]\nk=2\n");
  char buf[16] = {};
  EXPECT_EQ(old.Read(buf, sizeof buf), 8);
  EXPECT_EQ(std::string(buf, 8), "[A]\nk=1\n");
}

TEST(IniFile, FailedWritesRaise) {
  ScratchDir d;
  TIniFile noFolder((d / "missing/s.ini").string());
  try {
    noFolder.WriteString("A", "k", "v");
    FAIL() << "no exception";
  } catch (const rtl::EIniFileException& e) {
    EXPECT_EQ(e.Message, "Unable to write to " + noFolder.FileName);
  }
  // A folder in place of the file: unreadable, so it must not be replaced.
  rtl::ForceDirectories((d / "dir.ini").string());
  TIniFile folder((d / "dir.ini").string());
  EXPECT_THROW(folder.WriteString("A", "k", "v"), rtl::EIniFileException);
  EXPECT_EQ(folder.ReadString("A", "k", "d"), "d");
  TIniFile ok((d / "s.ini").string());
  EXPECT_THROW(ok.WriteString("A", "k", "two\nlines"), rtl::EIniFileException);
}

TEST(IniFile, OnlyARegularFileOfSettingsSizeIsRead) {
  ScratchDir d;
  // A pipe under the name must not block the reader waiting for a writer.
  const std::string fifo = (d / "pipe.ini").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TIniFile pipe(fifo);
  EXPECT_EQ(pipe.ReadString("A", "k", "d"), "d");
  EXPECT_THROW(pipe.WriteString("A", "k", "v"), rtl::EIniFileException);
  // A file beyond the limit (sparse, so the test stays cheap) is not loaded
  // and not replaced by a write.
  const std::string big = (d / "big.ini").string();
  WriteFileBytes(big, "[A]\nk=v\n");
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(rtl::kMaxIniFileBytes) + 1), 0);
  TIniFile huge(big);
  EXPECT_EQ(huge.ReadString("A", "k", "d"), "d");
  EXPECT_THROW(huge.WriteString("A", "k", "w"), rtl::EIniFileException);
  struct stat st;
  ASSERT_EQ(::stat(big.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), rtl::kMaxIniFileBytes + 1);
  // Up to the limit it reads as before.
  ASSERT_EQ(::truncate(big.c_str(), 9), 0);
  EXPECT_EQ(huge.ReadString("A", "k", "d"), "v");
}

TEST(IniFile, SectionListsAndExistence) {
  ScratchDir d;
  std::string f = (d / "s.ini").string();
  WriteFileBytes(f, kSample);
  TIniFile ini(f);
  rtl::TStringList l;
  ini.ReadSections(l);
  EXPECT_EQ(l.CommaText(), "Pos,App");
  ini.ReadSection("pos", l);
  EXPECT_EQ(l.CommaText(), "Top,Left");
  ini.ReadSectionValues("Pos", l);
  EXPECT_EQ(l.CommaText(), "Top=120,Left=-5");
  EXPECT_TRUE(ini.SectionExists("APP"));
  EXPECT_FALSE(ini.SectionExists("File"));
  EXPECT_TRUE(ini.ValueExists("App", "launch"));
  EXPECT_FALSE(ini.ValueExists("App", "Missing"));
  ini.DeleteKey("App", "Launch");
  EXPECT_FALSE(ini.ValueExists("App", "Launch"));  // both duplicates gone
  ini.EraseSection("pos");
  EXPECT_EQ(ReadFileBytes(f), "; settings\r\n[App]\r\nDoLaunch=yes\r\nodd line without equals\r\n");
}

TEST(IniFile, LogKeysReadUntilTheFirstGap) {
  // The log is read Logs0, Logs1, ... up to the first empty value.
  ScratchDir d;
  std::string f = (d / "t.log").string();
  TIniFile log(f);
  log.WriteString("File", "Logs0", "/a.tif");
  log.WriteString("File", "Logs2", "/c.tif");
  std::vector<std::string> read;
  for (int i = 0;; ++i) {
    std::string v = log.ReadString("File", "Logs" + rtl::IntToStr(i), "");
    if (v.empty()) break;
    read.push_back(v);
  }
  EXPECT_EQ(read, (std::vector<std::string>{"/a.tif"}));
}

}  // namespace

namespace {

TEST(IniContent, ReplaceSectionPutsOneSectionInPlaceOfAll) {
  TIniContent c("[File]\nLogs0=/a\n[Other]\nX=1\n[file]\nLogs1=/b\n");
  ASSERT_TRUE(c.ReplaceSection("File", {{"Logs0", "/new"}, {"Mark0", "1:2"}}));
  EXPECT_EQ(c.Bytes(), "[Other]\nX=1\n[File]\nLogs0=/new\nMark0=1:2\n");
  EXPECT_EQ(c.Values("file"),
            (std::vector<std::pair<std::string, std::string>>{{"Logs0", "/new"}, {"Mark0", "1:2"}}));
  // One refused entry refuses them all and changes nothing.
  const std::string before = c.Bytes();
  EXPECT_FALSE(c.ReplaceSection("File", {{"Logs0", "/ok"}, {"Logs1", "two\nlines"}}));
  EXPECT_FALSE(c.ReplaceSection("Bad]", {}));
  EXPECT_EQ(c.Bytes(), before);
  ASSERT_TRUE(c.ReplaceSection("File", {}));
  EXPECT_EQ(c.Bytes(), "[Other]\nX=1\n[File]\n");
}

TEST(IniValue, AnyBytesReadBackOnceEncoded) {
  const std::vector<std::string> values = {
      "/plain/name.tif", "",     "two\nlines",        "cr\rhere",     " leading", "trailing ",  "\"quoted\"",
      "'single'",        "100%", "%41 looks encoded", "tab\tand\x7f", "日本語",   "\"only one",
  };
  for (const auto& v : values) {
    SCOPED_TRACE(v);
    TIniContent c;
    const std::string stored = rtl::EncodeIniValue(v);
    ASSERT_TRUE(c.Write("A", "k", stored));
    std::string read, decoded;
    ASSERT_TRUE(c.Find("A", "k", read));
    EXPECT_EQ(read, stored);
    ASSERT_TRUE(rtl::DecodeIniValue(read, decoded));
    EXPECT_EQ(decoded, v);
  }
  // What needs no encoding is stored as it is, so older files read alike.
  EXPECT_EQ(rtl::EncodeIniValue("/plain/name.tif"), "/plain/name.tif");
  EXPECT_EQ(rtl::EncodeIniValue("\"only one"), "\"only one");
  std::string out;
  for (const char* bad : {"%", "%4", "%zz", "%00", "%41%"})
    EXPECT_FALSE(rtl::DecodeIniValue(bad, out)) << bad;
}

TEST(IniFile, ReadTellsAMissingFileFromOneThatCannotBeRead) {
  ScratchDir d;
  EXPECT_EQ(TIniFile((d / "missing.ini").string()).Read().Bytes(), "");
  WriteFileBytes(d / "s.ini", "[A]\nk=v\n");
  std::string v;
  EXPECT_TRUE(TIniFile((d / "s.ini").string()).Read().Find("A", "k", v));
  EXPECT_EQ(v, "v");
  rtl::ForceDirectories((d / "dir.ini").string());
  try {
    TIniFile((d / "dir.ini").string()).Read();
    FAIL() << "no exception";
  } catch (const rtl::EIniFileException& e) {
    EXPECT_EQ(e.Message, "Unable to read " + (d / "dir.ini").string() + ": " + std::strerror(EISDIR));
  }
}

TEST(IniFile, UpdateWritesEveryEditInOneReplacement) {
  ScratchDir d;
  const std::string f = (d / "s.ini").string();
  WriteFileBytes(f, "; keep\n[A]\nk=1\n");
  struct stat before;
  ASSERT_EQ(::stat(f.c_str(), &before), 0);
  // A reader of the old file sees the old bytes whole: one new file.
  rtl::TFileStream old(f, rtl::fmOpenRead);
  TIniFile ini(f);
  ini.Update([](TIniContent& c) {
    c.Write("A", "k", "2");
    c.Write("B", "x", "y");
  });
  EXPECT_EQ(ReadFileBytes(f), "; keep\n[A]\nk=2\n[B]\nx=y\n");
  char buf[32] = {};
  EXPECT_EQ(old.Read(buf, sizeof buf), 15);
  // An edit that fails leaves the file as it was.
  EXPECT_THROW(ini.Update([](TIniContent&) { throw rtl::EIniFileException("no"); }), rtl::EIniFileException);
  EXPECT_EQ(ReadFileBytes(f), "; keep\n[A]\nk=2\n[B]\nx=y\n");
}

TEST(IniFile, TemporariesOfSavesThatDiedAreRemoved) {
  ScratchDir d;
  const std::string f = (d / "s.ini").string();
  WriteFileBytes(f, "[A]\nk=1\n");
  // A process that has ended, and one that runs (it may be saving now).
  const pid_t ended = ::fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  const pid_t running = ::fork();
  ASSERT_GE(running, 0);
  if (running == 0) {
    ::pause();
    ::_exit(0);
  }
  const std::string dead = std::to_string(ended), live = std::to_string(running),
                    own = std::to_string(::getpid());
  struct Case {
    std::string name;
    bool removed;
  } cases[] = {
      {".s.ini.tmp" + dead + "-3", true},
      {".s.ini.tmp" + own + "-0", true},  // an earlier run that had our id
      {".s.ini.tmp" + live + "-1", false},
      {".s.ini.tmpabc-1", false},
      {".s.ini.tmp" + dead + "-", false},
      {".s.ini.tmp" + dead + "-2.bak", false},
      {".t.ini.tmp" + dead + "-1", false},  // another file's
      {"s.ini.tmp" + dead + "-1", false},
  };
  for (const auto& c : cases) WriteFileBytes(d / c.name, "x");
  TIniFile(f).RemoveStaleTemporaries();
  for (const auto& c : cases) EXPECT_EQ(std::filesystem::exists(d / c.name), !c.removed) << c.name;
  EXPECT_EQ(ReadFileBytes(f), "[A]\nk=1\n");
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
}

TEST(IniFile, TerminationSignalsAreHeldOffWhileASaveRuns) {
  // Another thread watches the saving thread's mask of blocked signals; a
  // signal that came while they are held would end the program only once
  // the file is in place, never between the temporary file and the rename.
  ScratchDir d;
  const std::string f = (d / "s.ini").string();
  const std::string big(1 << 18, 'v');
  const std::string status = "/proc/self/task/" + std::to_string(::gettid()) + "/status";
  std::atomic<bool> seen{false}, done{false};
  std::thread watcher([&] {
    while (!done && !seen) {
      const std::string s = ReadFileBytes(status);
      size_t at = s.find("SigBlk:");
      if (at == std::string::npos) continue;
      const unsigned long long mask = std::strtoull(s.c_str() + at + 7, nullptr, 16);
      const unsigned long long want =
          (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1));
      if ((mask & want) == want) seen = true;
    }
  });
  TIniFile ini(f);
  for (int n = 0; n < 300 && !seen; ++n) ini.WriteString("A", "k", big + std::to_string(n % 2));
  done = true;
  watcher.join();
  EXPECT_TRUE(seen);
  // And given back afterwards.
  sigset_t now;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &now);
  EXPECT_FALSE(sigismember(&now, SIGTERM));
}

}  // namespace
