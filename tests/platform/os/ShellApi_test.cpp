#include "platform/os/ShellApi.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::ReadFileBytes;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

std::string NulList(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += n + '\0';
  return s + '\0';
}

// Decodes the %XX escapes of a .trashinfo Path value.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string InfoValue(const std::string& record, const std::string& key) {
  size_t at = record.find("\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  at += key.size() + 2;
  return record.substr(at, record.find('\n', at) - at);
}

// YYYY-MM-DDThh:mm:ss
bool IsIsoDateTime(const std::string& s) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd";
  if (s.size() != shape.size()) return false;
  for (size_t i = 0; i < s.size(); ++i)
    if (shape[i] == 'd' ? !(s[i] >= '0' && s[i] <= '9') : s[i] != shape[i]) return false;
  return true;
}

const unsigned kConverterFlags =
    os::FOF_SILENT | os::FOF_NOCONFIRMATION | os::FOF_ALLOWUNDO | os::FOF_FILESONLY | os::FOF_NOERRORUI;

}  // namespace

TEST(ShellApiTest, MaskTable) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  } cases[] = {
      {"a.pdf", "*.pdf", true},
      {"A.PDF", "*.pdf", true},
      {"a.pdf.bak", "*.pdf", false},
      {"$$temp$$-0.pbm", "*.pbm", true},
      {"x.pbm", "?.pbm", true},
      {"xy.pbm", "?.pbm", false},
      {"report", "*", true},
      {"", "*", true},
      {"abc", "a*c*", true},
      {"abd", "a*c", false},
      {"a[1].pdf", "a[1].pdf", true},
      {"a1.pdf", "a[1].pdf", false},
      {"aaaaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*a*a*c", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " ~ " + c.mask);
    EXPECT_EQ(os::MatchesMask(c.name, c.mask), c.match);
  }
}

TEST(ShellApiTest, SplitsDoubleNulList) {
  EXPECT_TRUE(os::SplitNulList(std::string(1, '\0')).empty());
  EXPECT_TRUE(os::SplitNulList("").empty());
  EXPECT_EQ(os::SplitNulList(NulList({"a", "b c"})), (std::vector<std::string>{"a", "b c"}));
}

TEST(ShellApiTest, TwoMasksGoIntoTheTrashWithRecords) {
  ScratchDir dir;
  fs::path work = dir / "cmdline";
  fs::create_directories(work / "sub.pdf");  // a folder: FOF_FILESONLY keeps it
  for (const char* f : {"a.pdf", "B.PDF", "c.tif", "keep.txt"}) WriteFileBytes(work / f, f);
  os::SHFILEOPSTRUCT op;
  op.wFunc = os::FO_DELETE;
  op.pFrom = NulList({(work / "*.pdf").string(), (work / "*.tif").string()});
  op.fFlags = kConverterFlags;
  op.TrashFolder = dir / "Trash";
  EXPECT_EQ(os::SHFileOperation(op), 0);
  EXPECT_FALSE(op.fAnyOperationsAborted);
  ASSERT_EQ(op.Results.size(), 3u);
  // Sorted by name within each mask, masks in order.
  EXPECT_EQ(op.Results[0].Path, (work / "B.PDF").string());
  EXPECT_EQ(op.Results[1].Path, (work / "a.pdf").string());
  EXPECT_EQ(op.Results[2].Path, (work / "c.tif").string());
  for (const auto& r : op.Results) EXPECT_EQ(r.Outcome, os::fooTrashed) << r.Path << r.Message;
  EXPECT_TRUE(fs::exists(work / "keep.txt"));
  EXPECT_TRUE(fs::is_directory(work / "sub.pdf"));
  for (const char* f : {"a.pdf", "B.PDF", "c.tif"}) {
    SCOPED_TRACE(f);
    EXPECT_FALSE(fs::exists(work / f));
    EXPECT_EQ(ReadFileBytes(dir / "Trash" / "files" / f), f);
    std::string rec = ReadFileBytes(dir / "Trash" / "info" / (std::string(f) + ".trashinfo"));
    EXPECT_EQ(rec.rfind("[Trash Info]\n", 0), 0u);
    EXPECT_EQ(Unescape(InfoValue(rec, "Path")), (work / f).string());
    EXPECT_TRUE(IsIsoDateTime(InfoValue(rec, "DeletionDate"))) << rec;
  }
}

TEST(ShellApiTest, MaskAppliesToLastComponentOnly) {
  ScratchDir dir;
  fs::create_directories(dir / "a*");
  fs::create_directories(dir / "ab");
  WriteFileBytes(dir / "a*" / "x.pdf", "1");
  WriteFileBytes(dir / "ab" / "x.pdf", "2");
  os::SHFILEOPSTRUCT op;
  op.wFunc = os::FO_DELETE;
  op.pFrom = NulList({(dir / "a*" / "*.PDF").string()});
  op.fFlags = kConverterFlags;
  op.TrashFolder = dir / "Trash";
  EXPECT_EQ(os::SHFileOperation(op), 0);
  EXPECT_FALSE(fs::exists(dir / "a*" / "x.pdf"));
  EXPECT_TRUE(fs::exists(dir / "ab" / "x.pdf"));
}

TEST(ShellApiTest, SameNameTwiceKeepsBothInTheTrash) {
  ScratchDir dir;
  os::SHFILEOPSTRUCT op;
  op.wFunc = os::FO_DELETE;
  op.fFlags = kConverterFlags;
  op.TrashFolder = dir / "Trash";
  // A name with a blank, a quote and a multi-byte character: escaped in
  // the record, restored exactly.
  const std::string name = "scan 1 \"\xE6\x97\xA5\".pdf";
  for (const char* content : {"first", "second"}) {
    WriteFileBytes(dir / name, content);
    op.pFrom = NulList({(dir / name).string()});
    ASSERT_EQ(os::SHFileOperation(op), 0);
  }
  EXPECT_EQ(ReadFileBytes(dir / "Trash" / "files" / name), "first");
  EXPECT_EQ(ReadFileBytes(dir / "Trash" / "files" / (name + ".2")), "second");
  std::string rec = ReadFileBytes(dir / "Trash" / "info" / (name + ".2.trashinfo"));
  EXPECT_EQ(InfoValue(rec, "Path").find(' '), std::string::npos);
  EXPECT_EQ(Unescape(InfoValue(rec, "Path")), (dir / name).string());
}

TEST(ShellApiTest, UnusableTrashTable) {
  struct Case {
    const char* label;
    unsigned flags;
    int rc;  // 0 or nonzero
    os::TFileOpOutcome outcome;
    bool fileLeft;
  } cases[] = {
      {"no confirmation: removed and said so", kConverterFlags, 0, os::fooDeletedNoTrash, false},
      {"confirmation needed: kept", os::FOF_ALLOWUNDO | os::FOF_SILENT, 1, os::fooKept, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    WriteFileBytes(dir / "Trash", "a file where the Trash folder should be");
    WriteFileBytes(dir / "t.pdf", "x");
    os::SHFILEOPSTRUCT op;
    op.wFunc = os::FO_DELETE;
    op.pFrom = NulList({(dir / "*.pdf").string()});
    op.fFlags = c.flags;
    op.TrashFolder = dir / "Trash";
    int rc = os::SHFileOperation(op);
    EXPECT_EQ(rc != 0, c.rc != 0);
    EXPECT_EQ(op.fAnyOperationsAborted, c.rc != 0);
    ASSERT_EQ(op.Results.size(), 1u);
    EXPECT_EQ(op.Results[0].Outcome, c.outcome);
    EXPECT_NE(op.Results[0].Message.find("not put into the Trash"), std::string::npos);
    EXPECT_EQ(fs::exists(dir / "t.pdf"), c.fileLeft);
  }
}

TEST(ShellApiTest, OtherDeviceIsNotTrashed) {
  // /dev/shm is a file system of its own on most machines.
  struct stat a {
  }, b{};
  if (::stat("/dev/shm", &a) != 0 || ::access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no writable /dev/shm";
  ScratchDir dir;
  if (::stat(dir.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
    GTEST_SKIP() << "/dev/shm shares the scratch file system";
  fs::path f = fs::path("/dev/shm") / ("tk-shellapi-" + std::to_string(::getpid()) + ".pdf");
  WriteFileBytes(f, "x");
  os::SHFILEOPSTRUCT op;
  op.wFunc = os::FO_DELETE;
  op.pFrom = NulList({f.string()});
  op.fFlags = kConverterFlags;
  op.TrashFolder = dir / "Trash";
  EXPECT_EQ(os::SHFileOperation(op), 0);
  ASSERT_EQ(op.Results.size(), 1u);
  EXPECT_EQ(op.Results[0].Outcome, os::fooDeletedNoTrash);
  EXPECT_NE(op.Results[0].Message.find("another file system"), std::string::npos);
  EXPECT_FALSE(fs::exists(f));
}

TEST(ShellApiTest, ErrorsAndPlainDeletes) {
  ScratchDir dir;
  WriteFileBytes(dir / "gone.pdf", "x");
  fs::create_directories(dir / "folder" / "inner");
  WriteFileBytes(dir / "folder" / "inner" / "f", "x");
  os::SHFILEOPSTRUCT op;
  op.wFunc = os::FO_DELETE;
  op.fFlags = os::FOF_SILENT | os::FOF_NOCONFIRMATION;  // no undo: for good
  op.TrashFolder = dir / "Trash";
  op.pFrom = NulList({(dir / "gone.pdf").string(), (dir / "missing.pdf").string(), (dir / "*.none").string(),
                      (dir / "folder").string()});
  EXPECT_EQ(os::SHFileOperation(op), ENOENT);
  EXPECT_TRUE(op.fAnyOperationsAborted);
  ASSERT_EQ(op.Results.size(), 3u);
  EXPECT_EQ(op.Results[0].Outcome, os::fooDeleted);
  EXPECT_EQ(op.Results[1].Outcome, os::fooFailed);
  EXPECT_EQ(op.Results[1].Error, ENOENT);
  EXPECT_EQ(op.Results[2].Outcome, os::fooDeleted);  // a named folder goes whole
  EXPECT_FALSE(fs::exists(dir / "gone.pdf"));
  EXPECT_FALSE(fs::exists(dir / "folder"));
  EXPECT_FALSE(fs::exists(dir / "Trash"));

  op.pFrom = std::string(1, '\0');
  EXPECT_EQ(os::SHFileOperation(op), 0);
  EXPECT_TRUE(op.Results.empty());

  WriteFileBytes(dir / "k.pdf", "x");
  op.wFunc = os::FO_COPY;
  op.pFrom = NulList({(dir / "k.pdf").string()});
  EXPECT_EQ(os::SHFileOperation(op), ENOTSUP);
  EXPECT_TRUE(fs::exists(dir / "k.pdf"));
}

TEST(ShellApiTest, OpenDocumentHandsTheAbsoluteNameToTheOpener) {
  ScratchDir dir;
  const fs::path bin = dir / "bin";
  fs::create_directories(bin);
  // The stand-in opener records each argument on a line of its own.
  WriteFileBytes(bin / "xdg-open",
                 "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.log\"\n");
  ::chmod((bin / "xdg-open").c_str(), 0755);
  // A folder of the opener's name earlier on PATH is no program.
  fs::create_directories(dir / "shadow" / "xdg-open");
  const tk::test::EnvVar path("PATH", ((dir / "shadow").string() + ":" + bin.string()).c_str());

  WriteFileBytes(dir / "-a scan.pdf", "%PDF-1.4");
  const fs::path oldCwd = fs::current_path();
  fs::current_path(dir.path());
  const int started = os::ShellOpenDocument("-a scan.pdf");
  fs::current_path(oldCwd);
  ASSERT_EQ(started, 0);
  const fs::path log = bin / "xdg-open.log";
  ASSERT_TRUE(tk::test::WaitFor([&] { return fs::exists(log) && !ReadFileBytes(log).empty(); }, 10000));
  EXPECT_EQ(ReadFileBytes(log), (dir / "-a scan.pdf").string() + "\n");

  EXPECT_EQ(os::ShellOpenDocument((dir / "missing.pdf").string()), ENOENT);
  ::setenv("PATH", (dir / "nothing").c_str(), 1);
  EXPECT_EQ(os::ShellOpenDocument((dir / "-a scan.pdf").string()), ENOENT);
}
