// Placing the TIFF beside its source: all or nothing, whatever stands at the
// target's name, and whatever the disk refuses.
#include "converter/FileGuard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "support/TestSupport.h"

namespace tk::test::converter {
namespace {

namespace fs = std::filesystem;
using ::converter::EFileGuardError;
using ::converter::PlaceTiff;
using ::converter::TPlacement;

// A TIFF of the given pages, made by the oracle: noise that LZW cannot
// shrink, so that its size is known to be large.
fs::path MakeTiff(const fs::path& dir, const std::string& name, int pages, int side) {
  std::vector<std::string> cmd = {"convert-im6.q16", "-size",
                                  std::to_string(side) + "x" + std::to_string(side)};
  for (int i = 0; i < pages; ++i) {
    cmd.push_back("-seed");
    cmd.push_back(std::to_string(i + 1));
    cmd.push_back("plasma:");
  }
  const fs::path out = dir / name;
  cmd.insert(cmd.end(), {"-compress", "lzw", out.string()});
  auto r = RunTool(cmd);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return out;
}

// Every name in the folder with its bytes (a link as "-> target").
std::map<std::string, std::string> Listing(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const auto st = fs::symlink_status(e.path());
    const std::string name = e.path().filename().string();
    if (fs::is_symlink(st))
      out[name] = "-> " + fs::read_symlink(e.path()).string();
    else if (fs::is_directory(st))
      out[name] = "<folder>";
    else
      out[name] = ReadFileBytes(e.path());
  }
  return out;
}

TEST(FileGuard, PlacingTheTiffIsAllOrNothing) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  TK_REQUIRE_TOOL("tiffinfo");
  ScratchDir scratch;
  const fs::path work = scratch / "work";
  fs::create_directories(work);
  const fs::path twoPages = MakeTiff(work, "two.tif", 2, 16);
  WriteFileBytes(work / "junk.tif", "II*\0 not really");
  // Cut in its second page's data, or its second directory.
  const std::string whole = ReadFileBytes(twoPages);
  WriteFileBytes(work / "cut.tif", whole.substr(0, whole.size() - 200));
  struct Case {
    const char* name;
    std::function<void(const fs::path& docs)> setup;
    fs::path workTiff;
    int expected;
    const char* error;  // "" when it is placed
    TPlacement mode = TPlacement::Replace;
  } cases[] = {
      {"a new TIFF", [](const fs::path&) {}, twoPages, 2, ""},
      {"over an older TIFF", [](const fs::path& d) { WriteFileBytes(d / "scan.tif", "older"); }, twoPages, 2,
       ""},
      {"over a link: the link goes, its file stays",
       [](const fs::path& d) {
         WriteFileBytes(d / "victim", "precious");
         fs::create_symlink(d / "victim", d / "scan.tif");
       },
       twoPages, 2, ""},
      {"fewer pages than converted", [](const fs::path& d) { WriteFileBytes(d / "scan.tif", "older"); },
       twoPages, 3, "2 pages written of 3"},
      {"no TIFF at all", [](const fs::path& d) { WriteFileBytes(d / "scan.tif", "older"); },
       work / "junk.tif", 1, "cannot be read"},
      {"a TIFF cut short", [](const fs::path& d) { WriteFileBytes(d / "scan.tif", "older"); },
       work / "cut.tif", 2, "TIFF Error"},
      {"a folder at the name", [](const fs::path& d) { fs::create_directories(d / "scan.tif" / "inside"); },
       twoPages, 2, "Is a directory"},
      // What must not replace anything takes only a free name.
      {"kept apart: a new TIFF", [](const fs::path&) {}, twoPages, 2, "", TPlacement::KeepExisting},
      {"kept apart: an older TIFF stays", [](const fs::path& d) { WriteFileBytes(d / "scan.tif", "older"); },
       twoPages, 2, "is there, and stays", TPlacement::KeepExisting},
      {"kept apart: a link that leads nowhere stays",
       [](const fs::path& d) { fs::create_symlink(d / "gone", d / "scan.tif"); }, twoPages, 2,
       "is there, and stays", TPlacement::KeepExisting},
      {"kept apart: a folder stays", [](const fs::path& d) { fs::create_directories(d / "scan.tif"); },
       twoPages, 2, "is there, and stays", TPlacement::KeepExisting},
      {"kept apart: fewer pages than converted", [](const fs::path&) {}, twoPages, 3, "2 pages written of 3",
       TPlacement::KeepExisting},
  };
  // Copied from the work folder, or written where it is to lie, unnamed
  // until it is placed.
  const fs::path note = scratch / "placing";
  for (const bool beside : {false, true})
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (beside ? ", written beside" : ", copied"));
      const fs::path docs = scratch / "docs";
      fs::remove_all(docs);
      fs::create_directories(docs);
      c.setup(docs);
      const auto before = Listing(docs);
      std::string error;
      try {
        ::converter::TFileIdentity placed;
        if (beside) {
          ::converter::TTiffBesideTarget tiff;
          ASSERT_TRUE(tiff.Open((docs / "scan.tif").string()));
          WriteFileBytes(tiff.Path(), ReadFileBytes(c.workTiff));
          EXPECT_EQ(Listing(docs), before) << "the folder changed before the TIFF was placed";
          placed = tiff.Place(c.expected, note.string(), c.mode);
        } else {
          placed =
              PlaceTiff(c.workTiff.string(), (docs / "scan.tif").string(), c.expected, note.string(), c.mode);
        }
        EXPECT_TRUE(::converter::IsPlacedFile((docs / "scan.tif").string(), placed));
      } catch (const ::converter::ETargetTaken& e) {
        error = e.what();
        EXPECT_EQ(c.mode, TPlacement::KeepExisting) << error;
      } catch (const EFileGuardError& e) {
        error = e.what();
      }
      // The note of the temporary goes with it, whatever the outcome.
      EXPECT_FALSE(fs::exists(fs::symlink_status(note)));
      if (*c.error) {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(Listing(docs), before) << "the folder changed";
        continue;
      }
      EXPECT_EQ(error, "");
      EXPECT_EQ(ReadFileBytes(docs / "scan.tif"), ReadFileBytes(c.workTiff));
      EXPECT_FALSE(fs::is_symlink(fs::symlink_status(docs / "scan.tif")));
      auto after = Listing(docs);
      after.erase("scan.tif");
      auto rest = before;
      rest.erase("scan.tif");
      EXPECT_EQ(after, rest) << "another file changed, or a temporary one was left";
    }
}

TEST(FileGuard, AFullDiskLeavesTheOlderTiffAndNoTemporaryFile) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  ScratchDir scratch;
  const fs::path big = MakeTiff(scratch.path(), "big.tif", 1, 200);
  ASSERT_GT(fs::file_size(big), 64u * 1024);
  const fs::path docs = scratch / "docs";
  fs::create_directories(docs);
  WriteFileBytes(docs / "scan.tif", "older");
  // The limit holds in a child of its own; a write beyond it fails with
  // EFBIG as one on a full disk fails with ENOSPC.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 3;
    try {
      PlaceTiff(big.string(), (docs / "scan.tif").string(), 1, "");
      code = 1;
    } catch (const EFileGuardError& e) {
      code = std::string(e.what()).find("File too large") != std::string::npos ? 0 : 2;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: placed; 2: another error";
  EXPECT_EQ(Listing(docs), (std::map<std::string, std::string>{{"scan.tif", "older"}}));
}

// A converter killed between giving its temporary TIFF a name and renaming
// it leaves the file beside the source, and its note. What the note names is
// removed only while it is exactly that file.
TEST(FileGuard, ALeftTemporaryIsRemovedOnlyWhileItIsTheFileTheNoteNames) {
  ScratchDir scratch;
  const fs::path docs = scratch / "docs", note = scratch / "placing";
  fs::create_directories(docs);
  const pid_t dead = ::fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
  const std::string ours = ".tarnwick-" + std::to_string(dead) + "-0.tif";
  auto identity = [](const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino);
  };
  struct Case {
    const char* label;
    std::string name;
    // Makes what lies at the name; gives the identity the note holds.
    std::function<std::string(const fs::path& at)> make;
    bool removed;
  } cases[] = {
      {"the file it names", ours,
       [&](const fs::path& at) {
         WriteFileBytes(at, "II*");
         return identity(at);
       },
       true},
      {"named before it was made, its process gone", ours,
       [](const fs::path& at) {
         WriteFileBytes(at, "II*");
         return std::string("-");
       },
       true},
      {"named before it was made, its process running", ".tarnwick-" + std::to_string(::getpid()) + "-0.tif",
       [](const fs::path& at) {
         WriteFileBytes(at, "II*");
         return std::string("-");
       },
       false},
      {"another file at the name", ours,
       [&](const fs::path& at) {
         WriteFileBytes(docs / "other", "x");
         const std::string id = identity(docs / "other");
         WriteFileBytes(at, "II*");
         return id;
       },
       false},
      {"the file with a second name", ours,
       [&](const fs::path& at) {
         WriteFileBytes(at, "II*");
         fs::create_hard_link(at, docs / "second.tif");
         return identity(at);
       },
       false},
      {"a link at the name", ours,
       [&](const fs::path& at) {
         WriteFileBytes(docs / "target.tif", "precious");
         fs::create_symlink(docs / "target.tif", at);
         return identity(at);
       },
       false},
      {"a folder at the name", ours,
       [&](const fs::path& at) {
         fs::create_directories(at);
         return identity(at);
       },
       false},
      {"a name not of the pattern", "scan.tif",
       [&](const fs::path& at) {
         WriteFileBytes(at, "II*");
         return identity(at);
       },
       false},
      {"a name like the pattern", ".tarnwick-" + std::to_string(dead) + "-0.tif.bak",
       [&](const fs::path& at) {
         WriteFileBytes(at, "II*");
         return identity(at);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(docs);
    fs::create_directories(docs);
    const fs::path at = docs / c.name;
    WriteFileBytes(note, c.make(at) + "\n" + at.string());
    const auto before = Listing(docs);
    ::converter::RemoveLeftTemporary(note.string());
    auto after = before;
    if (c.removed) after.erase(c.name);
    EXPECT_EQ(Listing(docs), after);
  }
  // No note, or one that is no note: nothing happens.
  WriteFileBytes(docs / ours, "II*");
  fs::remove(note);
  ::converter::RemoveLeftTemporary(note.string());
  WriteFileBytes(note, "garbage");
  ::converter::RemoveLeftTemporary(note.string());
  EXPECT_TRUE(fs::exists(docs / ours));
}

}  // namespace
}  // namespace tk::test::converter
