#include "platform/rtl/SysUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>

#include "platform/rtl/CodePages.h"
#include "support/TestSupport.h"

namespace {

using namespace rtl;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

TEST(Numbers, StrToIntAcceptsTheDesignsSyntax) {
  struct Case {
    const char* text;
    int value;
  } cases[] = {{"0", 0},
               {"42", 42},
               {"-17", -17},
               {"+5", 5},
               {"  12", 12},
               {"$FF", 255},
               {"0x10", 16},
               {"-$10", -16},
               {"2147483647", 2147483647},
               {"-2147483648", INT32_MIN},
               {"$FFFFFFFF", -1},
               {"007", 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(StrToInt(c.text), c.value);
  }
}

TEST(Numbers, StrToIntRaisesWithTheMessageAndStrToIntDefFallsBack) {
  const char* bad[] = {"",    " ", "12 ", "1.5", "abc", "2147483648", "-2147483649",
                       "--1", "$", "0x",  "1e3", "12a"};
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    try {
      StrToInt(b);
      FAIL() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message, std::string("'") + b + "' is not a valid integer value");
    }
    EXPECT_EQ(StrToIntDef(b, -99), -99);
  }
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(IntToStr(-9223372036854775807LL - 1), "-9223372036854775808");
  EXPECT_EQ(IntToHex(255, 4), "00FF");
  EXPECT_EQ(IntToHex(-1, 2), "FFFFFFFFFFFFFFFF");
}

TEST(Numbers, TryParseDecimalTakesDigitsAndASignAndBlanksOnlyWhereTheCallerSays) {
  struct Case {
    const char* text;
    bool refused;  // with lbRefused
    bool skipped;  // with lbSkipped
    int64_t value;
  } cases[] = {
      {"0", true, true, 0},
      {"42", true, true, 42},
      {"-17", true, true, -17},
      {"+5", true, true, 5},
      {"007", true, true, 7},
      {"  12", false, true, 12},
      {"\t-3", false, true, -3},
      {" +4", false, true, 4},
      {"12 ", false, false, 0},
      {"", false, false, 0},
      {"  ", false, false, 0},
      {"+", false, false, 0},
      {"-", false, false, 0},
      {"+-1", false, false, 0},
      {"--1", false, false, 0},
      {"1 2", false, false, 0},
      {"$FF", false, false, 0},
      {"0x10", false, false, 0},
      {"1e3", false, false, 0},
      {"1.0", false, false, 0},
      {"\n5", false, false, 0},
      {"9223372036854775807", true, true, INT64_MAX},
      {"-9223372036854775808", true, true, INT64_MIN},
      {"9223372036854775808", false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    int64_t v = 99;
    EXPECT_EQ(TryParseDecimal(c.text, v, lbRefused), c.refused);
    EXPECT_EQ(v, c.refused ? c.value : 99);
    v = 99;
    EXPECT_EQ(TryParseDecimal(c.text, v, lbSkipped), c.skipped);
    EXPECT_EQ(v, c.skipped ? c.value : 99);
  }
  // The 32-bit form stops at its own range.
  int32_t v = 0;
  EXPECT_TRUE(TryParseDecimal("2147483647", v, lbRefused));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(TryParseDecimal("-2147483648", v, lbRefused));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_FALSE(TryParseDecimal("2147483648", v, lbRefused));
  EXPECT_FALSE(TryParseDecimal("-2147483649", v, lbRefused));
  EXPECT_EQ(v, INT32_MIN);
}

TEST(Numbers, FloatsUseADotWhateverTheLocale) {
  // A locale with a decimal comma must not change anything.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  struct Case {
    double v;
    const char* text;
  } cases[] = {{0.0, "0"},     {0.5, "0.5"},       {-1.25, "-1.25"}, {100.0, "100"},
               {1e20, "1E20"}, {1.5e-7, "1.5E-7"}, {0.1, "0.1"},     {1.0 / 3.0, "0.333333333333333"},
               {-0.0, "0"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FloatToStr(c.v), c.text);
  }
  EXPECT_DOUBLE_EQ(StrToFloat("3.25"), 3.25);
  EXPECT_DOUBLE_EQ(StrToFloat(" -1e3 "), -1000.0);
  EXPECT_DOUBLE_EQ(StrToFloat("+.5"), 0.5);
  for (const char* b : {"", "3,25", "abc", "1.0x", "++1"}) {
    SCOPED_TRACE(b);
    EXPECT_THROW(StrToFloat(b), EConvertError);
    EXPECT_DOUBLE_EQ(StrToFloatDef(b, 7.5), 7.5);
  }
  try {
    StrToFloat("x");
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message, "'x' is not a valid floating point value");
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(Strings, TrimAndCase) {
  EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
  EXPECT_EQ(TrimLeft("  a "), "a ");
  EXPECT_EQ(TrimRight("  a \x01"), "  a");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(UpperCase("abc\xC3\xA9z"), "ABC\xC3\xA9Z");
  EXPECT_EQ(LowerCase("ABC"), "abc");
  EXPECT_TRUE(SameText("Tarn.INI", "tarn.ini"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("b", "A"), 0);
  EXPECT_EQ(CompareText("", ""), 0);
  EXPECT_LT(CompareText("ab", "abc"), 0);
  EXPECT_EQ(QuotedStr("it's"), "'it''s'");
}

TEST(Strings, AnsiUpperCaseLeavesDoubleByteCharactersAlone) {
  // In code page 932 the trail byte of 0x82 0x61 looks like 'a'.
  SetACP(CP_SHIFTJIS);
  EXPECT_EQ(AnsiUpperCase("a\x82\x61z"), "A\x82\x61Z");
  SetACP(CP_UTF8);
  EXPECT_EQ(AnsiUpperCase("a\x82\x61z"), "A\x82\x41Z");
}

TEST(Paths, ExtensionsOnlyInTheLastComponent) {
  struct Case {
    const char* path;
    const char* ext;
    const char* changed;  // ChangeFileExt(path, ".tif")
  } cases[] = {
      {"/a/scan.pdf", ".pdf", "/a/scan.tif"},
      {"/a.b/scan", "", "/a.b/scan.tif"},
      {"/a.b/c.d/scan.x.pdf", ".pdf", "/a.b/c.d/scan.x.tif"},
      {"scan", "", "scan.tif"},
      {"scan.", ".", "scan.tif"},
      {"/a/b.c/", "", "/a/b.c/.tif"},
      {"", "", ".tif"},
      {"/home/u/Tarnwick", "", "/home/u/Tarnwick.tif"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFileExt(c.path), c.ext);
    EXPECT_EQ(ChangeFileExt(c.path, ".tif"), c.changed);
  }
}

TEST(Paths, FolderAndNameParts) {
  struct Case {
    const char* path;
    const char* filePath;
    const char* fileDir;
    const char* fileName;
  } cases[] = {
      {"/a/b/c.pdf", "/a/b/", "/a/b", "c.pdf"}, {"/c.pdf", "/", "/", "c.pdf"}, {"c.pdf", "", "", "c.pdf"},
      {"/a/b/", "/a/b/", "/a/b", ""},           {"a.d/b", "a.d/", "a.d", "b"}, {"", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(ExtractFilePath(c.path), c.filePath);
    EXPECT_EQ(ExtractFileDir(c.path), c.fileDir);
    EXPECT_EQ(ExtractFileName(c.path), c.fileName);
  }
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a/"), "/a");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a"), "/a");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/"), "/");
}

TEST(Paths, ExpandFileNameResolvesAgainstTheCurrentFolder) {
  ScratchDir d;
  std::string old = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(d.path().string()));
  std::string cwd = GetCurrentDir();
  EXPECT_EQ(ExpandFileName("x.pdf"), cwd + "/x.pdf");
  EXPECT_EQ(ExpandFileName("./a/../b.pdf"), cwd + "/b.pdf");
  EXPECT_EQ(ExpandFileName("/a/b/.."), "/a");
  EXPECT_EQ(ExpandFileName("/a/b/"), "/a/b/");
  EXPECT_EQ(ExpandFileName("/a//b/./c"), "/a/b/c");
  ASSERT_TRUE(SetCurrentDir(old));
}

TEST(Files, CreateCopyRenameDelete) {
  ScratchDir d;
  std::string dir = (d / "x.y/deep/er").string();
  EXPECT_FALSE(DirectoryExists(dir));
  EXPECT_TRUE(ForceDirectories(dir + "/"));
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(ForceDirectories(dir));  // already there
  EXPECT_FALSE(FileExists(dir));       // a folder is no file
  EXPECT_FALSE(CreateDir(dir));
  EXPECT_EQ(GetLastError(), EEXIST);

  std::string a = dir + "/a.bin", b = dir + "/b.bin", c = dir + "/c.bin";
  WriteFileBytes(a, std::string("one\0two", 7));
  EXPECT_TRUE(FileExists(a));
  EXPECT_EQ(FileSizeOf(a), 7);
  EXPECT_EQ(FileSizeOf(b), -1);
  ::chmod(a.c_str(), 0640);

  EXPECT_TRUE(CopyFile(a, b, true));
  EXPECT_EQ(ReadFileBytes(b), std::string("one\0two", 7));
  struct stat sa, sb;
  ::stat(a.c_str(), &sa);
  ::stat(b.c_str(), &sb);
  EXPECT_EQ(sb.st_mode & 0777, 0640u);
  EXPECT_EQ(sb.st_mtim.tv_sec, sa.st_mtim.tv_sec);
  TDateTime ta = 0, tb = 0;
  EXPECT_TRUE(FileAge(a, ta));
  EXPECT_TRUE(FileAge(b, tb));
  EXPECT_NEAR(ta, tb, 1e-6);
  EXPECT_FALSE(FileAge(c, ta));

  WriteFileBytes(c, "other");
  EXPECT_FALSE(CopyFile(a, c, true));  // fail if exists
  EXPECT_EQ(GetLastError(), EEXIST);
  EXPECT_EQ(ReadFileBytes(c), "other");
  EXPECT_TRUE(CopyFile(a, c, false));  // replace
  EXPECT_EQ(FileSizeOf(c), 7);
  EXPECT_FALSE(CopyFile(a, a, false));  // never onto itself
  EXPECT_EQ(FileSizeOf(a), 7);
  EXPECT_FALSE(CopyFile(dir + "/missing", c, false));
  EXPECT_EQ(GetLastError(), ENOENT);

  EXPECT_FALSE(RenameFile(a, b));  // the target exists
  EXPECT_TRUE(FileExists(a));
  EXPECT_TRUE(DeleteFile(b));
  EXPECT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(FileExists(a));
  EXPECT_TRUE(FileExists(b));
  EXPECT_FALSE(DeleteFile(a));
  EXPECT_EQ(GetLastError(), ENOENT);
  EXPECT_FALSE(DeleteFile(dir));  // folders are not deleted as files
  EXPECT_FALSE(RemoveDir(dir));   // not empty
  EXPECT_TRUE(DeleteFile(b));
  EXPECT_TRUE(DeleteFile(c));
  EXPECT_TRUE(RemoveDir(dir));
  EXPECT_FALSE(DirectoryExists(dir));
}

TEST(Files, ChDirRaisesAnInputOutputError) {
  std::string old = GetCurrentDir();
  try {
    ChDir("/nonexistent/folder");
    FAIL() << "no exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message, "I/O error " + IntToStr(ENOENT));
  }
  EXPECT_EQ(GetCurrentDir(), old);
  EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
}

std::vector<std::string> Listing(const std::string& pattern, int attr) {
  std::vector<std::string> names;
  TSearchRec sr;
  for (int r = FindFirst(pattern, attr, sr); r == 0; r = FindNext(sr)) names.push_back(sr.Name);
  FindClose(sr);
  return names;
}

TEST(Files, FindFirstMasks) {
  ScratchDir d;
  for (const char* n : {"a.pdf", "B.PDF", "c.pdf.bak", "d.tif", "noext", ".hidden.pdf", "x1.pdf", "x22.pdf"})
    WriteFileBytes(d / n, "x");
  ForceDirectories((d / "sub.pdf").string());
  std::string base = d.path().string() + "/";
  using V = std::vector<std::string>;
  struct Case {
    const char* mask;
    int attr;
    V names;
  } cases[] = {
      {"*.pdf", faAnyFile & ~faDirectory & ~faHidden, V{"B.PDF", "a.pdf", "x1.pdf", "x22.pdf"}},
      {"*.pdf", faAnyFile, V{".hidden.pdf", "B.PDF", "a.pdf", "sub.pdf", "x1.pdf", "x22.pdf"}},
      {"*.PDF", 0, V{"B.PDF", "a.pdf", "x1.pdf", "x22.pdf"}},
      {"x?.pdf", 0, V{"x1.pdf"}},
      {"*", 0, V{"B.PDF", "a.pdf", "c.pdf.bak", "d.tif", "noext", "x1.pdf", "x22.pdf"}},
      {"*.*", 0, V{"B.PDF", "a.pdf", "c.pdf.bak", "d.tif", "noext", "x1.pdf", "x22.pdf"}},
      {"noext", 0, V{"noext"}},
      {"*.jpg", faAnyFile, V{}},
      {"*pdf*", 0, V{"B.PDF", "a.pdf", "c.pdf.bak", "x1.pdf", "x22.pdf"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(Listing(base + c.mask, c.attr), c.names);
  }
  TSearchRec sr;
  EXPECT_EQ(FindFirst(base + "*.jpg", faAnyFile, sr), ENOENT);
  EXPECT_NE(FindFirst(base + "missing/*.pdf", faAnyFile, sr), 0);
  ASSERT_EQ(FindFirst(base + "sub.pdf", faDirectory, sr), 0);
  EXPECT_EQ(sr.Attr & faDirectory, faDirectory);
  ASSERT_EQ(FindFirst(base + "a.pdf", 0, sr), 0);
  EXPECT_EQ(sr.Size, 1);
  EXPECT_EQ(sr.Attr & faArchive, faArchive);
  EXPECT_GT(sr.Time, 40000.0);  // a date after 2009
  FindClose(sr);
}

TEST(Files, MaskQuestionMarkTakesAWholeCharacter) {
  EXPECT_TRUE(MatchesMask("\xE3\x81\x82.pdf", "?.pdf"));  // one UTF-8 character
  EXPECT_FALSE(MatchesMask("ab.pdf", "?.pdf"));
  SetACP(CP_SHIFTJIS);
  EXPECT_TRUE(MatchesMask("\x82\xA0.pdf", "?.pdf"));  // one double-byte character
  // A trail byte that looks like "a" is not matched by the letter.
  EXPECT_FALSE(MatchesMask("\x82\x61", "*a"));
  SetACP(CP_UTF8);
}

TEST(CommandLine, ParamStrAndTheExecutable) {
  char a0[] = "prog", a1[] = "one", a2[] = "two words";
  char* argv[] = {a0, a1, a2};
  SetCommandLine(3, argv);
  EXPECT_EQ(ParamCount(), 2);
  EXPECT_EQ(ParamStr(1), "one");
  EXPECT_EQ(ParamStr(2), "two words");
  EXPECT_EQ(ParamStr(3), "");
  EXPECT_EQ(ParamStr(-1), "");
  std::string exe = ParamStr(0);
  EXPECT_EQ(exe.front(), '/');
  EXPECT_TRUE(FileExists(exe));
  EXPECT_EQ(exe, ExecutableFileName());
  SetExecutableFileName("/opt/x/tarnwick");
  EXPECT_EQ(ParamStr(0), "/opt/x/tarnwick");
  SetExecutableFileName("");
  EXPECT_EQ(ParamStr(0), exe);
  SetCommandLine(std::vector<std::string>{});
  EXPECT_EQ(ParamCount(), 0);
}

}  // namespace
