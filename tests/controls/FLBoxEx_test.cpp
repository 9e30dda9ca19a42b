#include "controls/FLBoxEx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/rtl/CodePages.h"
#include "platform/rtl/DateTime.h"
#include "support/TestSupport.h"

namespace controls {
namespace {

namespace fs = std::filesystem;
using tk::test::RunTool;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

// A fixed local time: 2021-05-01 10:00:00 plus minutes.
time_t At(int minutes) {
  std::tm tm{};
  tm.tm_year = 121;
  tm.tm_mon = 4;
  tm.tm_mday = 1;
  tm.tm_hour = 10;
  tm.tm_isdst = -1;
  return std::mktime(&tm) + minutes * 60;
}

void SetTime(const fs::path& p, time_t t) {
  struct timespec ts[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << p;
}

void MakeFile(const fs::path& p, int64_t size, time_t t) {
  { std::ofstream(p, std::ios::binary); }
  fs::resize_file(p, static_cast<uintmax_t>(size));  // sparse: no disk space
  SetTime(p, t);
}

std::vector<std::string> Rows(const forms::TCustomListBox& box) {
  std::vector<std::string> v;
  for (int i = 0; i < box.Count(); ++i) v.push_back(box.Items()[i]);
  return v;
}

int RowOf(const forms::TCustomListBox& box, const std::string& text) {
  for (int i = 0; i < box.Count(); ++i)
    if (box.Items()[i] == text) return i;
  return -1;
}

// A folder of known files: sizes, times, a sub-folder, hidden entries and a
// file beyond 2 GiB.
class FileListFolder : public ::testing::Test {
 protected:
  FileListFolder() {
    dir = scratch.path() / "in";
    fs::create_directories(dir / "sub");
    fs::create_directories(dir / ".hid");
    MakeFile(dir / "b.pdf", 300, At(20));
    MakeFile(dir / "a.PDF", 100, At(30));
    MakeFile(dir / "d.pdf", 100, At(10));
    MakeFile(dir / "A.pdf", 200, At(10));  // differs from a.PDF in case only
    MakeFile(dir / "big.pdf", int64_t{3} << 30, At(0));
    MakeFile(dir / "c.txt", 5, At(40));
    MakeFile(dir / ".h.pdf", 7, At(50));
    MakeFile(dir / "README", 9, At(60));
    SetTime(dir / "sub", At(5));
  }

  TFileListBoxEx* List(const std::string& mask) {
    auto* box = new TFileListBoxEx(&owner);
    box->SetMask(mask);
    box->SetDirectory(dir.string());
    return box;
  }

  ScratchDir scratch;
  fs::path dir;
  rtl::TComponent owner;
};

TEST_F(FileListFolder, MaskPicksFilesFoldersAlwaysFirst) {
  struct Case {
    std::string mask;
    std::vector<std::string> rows;
  } cases[] = {
      {"*.pdf", {"sub", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "d.pdf"}},
      {"*.pdf; *.TXT", {"sub", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "c.txt", "d.pdf"}},
      {"", {"sub"}},
      {"*.doc", {"sub"}},
      {"*.*", {"sub", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "c.txt", "d.pdf", "README"}},
      {"*.pdf;*", {"sub", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "c.txt", "d.pdf", "README"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mask '" + c.mask + "'");
    EXPECT_EQ(Rows(*List(c.mask)), c.rows);
  }
  // Hidden entries, folders included, only on request; the folders come
  // first whatever the sort order.
  TFileListBoxEx* box = List("*.pdf");
  box->SetShowHiddenSysFile(true);
  EXPECT_EQ(Rows(*box), (std::vector<std::string>{".hid", "sub", ".h.pdf", "A.pdf", "a.PDF", "b.pdf",
                                                  "big.pdf", "d.pdf"}));
  box->SetShowDirectory(false);
  EXPECT_EQ(Rows(*box), (std::vector<std::string>{".h.pdf", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "d.pdf"}));
}

TEST_F(FileListFolder, SortOrdersAreTotalAndReverse) {
  struct Case {
    TSortOrder order;
    std::vector<std::string> files;  // ascending
  } cases[] = {
      {soName, {"A.pdf", "a.PDF", "b.pdf", "big.pdf", "c.txt", "d.pdf", "README"}},
      // Equal extensions (in any case) go by name.
      {soExt, {"README", "A.pdf", "a.PDF", "b.pdf", "big.pdf", "d.pdf", "c.txt"}},
      // 3 GiB sorts above 300 bytes; equal sizes go by name.
      {soSize, {"c.txt", "README", "a.PDF", "d.pdf", "A.pdf", "b.pdf", "big.pdf"}},
      {soTime, {"big.pdf", "A.pdf", "d.pdf", "b.pdf", "a.PDF", "c.txt", "README"}},
  };
  TFileListBoxEx* box = List("*.*");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.order);
    box->SetSortOrder(c.order);
    box->SetSortDirection(sdUpword);
    std::vector<std::string> want = {"sub"};
    want.insert(want.end(), c.files.begin(), c.files.end());
    EXPECT_EQ(Rows(*box), want);
    box->SetSortDirection(sdDownword);
    want.assign(c.files.rbegin(), c.files.rend());
    want.insert(want.begin(), "sub");
    EXPECT_EQ(Rows(*box), want);
  }
}

TEST_F(FileListFolder, EntriesAgreeWithTheFolder) {
  TFileListBoxEx* box = List("*.*");
  box->SetShowHiddenSysFile(true);
  for (int i = 0; i < box->Count(); ++i) {
    std::string path;
    int64_t size = -1;
    rtl::TDateTime time = 0;
    int attr = 0;
    box->GetItemInfo(i, path, size, time, attr);
    SCOPED_TRACE(path);
    EXPECT_EQ(path, (dir / box->Items()[i]).string());
    EXPECT_EQ(box->IsDirectory(i), fs::is_directory(path));
    EXPECT_EQ(size, box->IsDirectory(i) ? 0 : static_cast<int64_t>(fs::file_size(path)));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(time, rtl::UnixTimeToDateTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    EXPECT_EQ((attr & rtl::faHidden) != 0, box->Items()[i][0] == '.');
  }
}

TEST_F(FileListFolder, ColumnsAsDrawn) {
  TFileListBoxEx* box = List("*.*");
  box->SetShowHiddenSysFile(true);
  box->Width = 400;
  auto date = [](time_t t) {
    auto r = RunTool({"date", "-d", "@" + std::to_string(t), "+%y/%m/%d %H:%M:%S"});
    return rtl::Trim(r.out);
  };
  TDrawnRow file = box->DrawItem(RowOf(*box, "b.pdf"));
  EXPECT_EQ(file.Icon, ikFile);
  EXPECT_EQ(file.IconLeft, 2);
  ASSERT_EQ(file.Cells.size(), 4u);
  EXPECT_EQ(file.Cells[0].Text, "b.pdf");
  EXPECT_EQ(file.Cells[0].Left, 20);
  EXPECT_EQ(file.Cells[1].Text, "300");
  EXPECT_EQ(file.Cells[1].Left, 120);
  EXPECT_EQ(file.Cells[1].Right, 185);
  EXPECT_EQ(file.Cells[1].Alignment, taRightJustify);
  EXPECT_EQ(file.Cells[2].Text, date(At(20)));
  EXPECT_EQ(file.Cells[2].Left, 200);
  EXPECT_EQ(file.Cells[2].Right, 400);
  EXPECT_EQ(file.Cells[3].Text, "A");
  EXPECT_EQ(file.Cells[3].Left, 350);
  EXPECT_EQ(file.Cells[3].Right, 380);
  EXPECT_EQ(box->DrawItem(RowOf(*box, "big.pdf")).Cells[1].Text, "3221225472");
  EXPECT_EQ(box->DrawItem(RowOf(*box, ".h.pdf")).Cells[3].Text, "HA");

  TDrawnRow folder = box->DrawItem(RowOf(*box, "sub"));
  EXPECT_EQ(folder.Icon, ikFolder);
  EXPECT_EQ(folder.Cells[1].Text, "<DIR>");
  EXPECT_EQ(folder.Cells[2].Text, date(At(5)));

  // A separate extension column; folder names keep the room of both.
  box->SetSeparateExt(true);
  file = box->DrawItem(RowOf(*box, "b.pdf"));
  ASSERT_EQ(file.Cells.size(), 5u);
  EXPECT_EQ(file.Cells[0].Text, "b");
  EXPECT_EQ(file.Cells[1].Text, ".pdf");
  EXPECT_EQ(file.Cells[1].Left, 120);
  EXPECT_EQ(file.Cells[2].Left, 170);
  box->SetItemIndex(RowOf(*box, "b.pdf"));
  EXPECT_TRUE(box->DrawItem(box->ItemIndex()).Selected);
}

TEST_F(FileListFolder, FolderIsReadAgainOnlyWhenItChangesOrOnRescan) {
  TFileListBoxEx* box = List("*.pdf");
  int changes = 0;
  box->OnChange = [&](rtl::TComponent* s) {
    EXPECT_EQ(s, box);
    ++changes;
  };
  MakeFile(dir / "new.pdf", 1, At(0));
  fs::remove(dir / "b.pdf");
  // The same folder, however written, is not read again.
  box->SetDirectory(dir.string() + "/");
  box->SetDirectory(dir.string());
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(box->Directory(), dir.string());
  EXPECT_NE(RowOf(*box, "b.pdf"), -1);
  // A refill uses what was read.
  box->SetSortDirection(sdUpword);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(RowOf(*box, "new.pdf"), -1);
  box->Rescan();
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(RowOf(*box, "b.pdf"), -1);
  EXPECT_NE(RowOf(*box, "new.pdf"), -1);

  // A folder that goes away leaves an empty list and no error.
  fs::remove_all(dir);
  box->Rescan();
  EXPECT_EQ(box->Count(), 0);
  box->SetDirectory((scratch.path() / "never").string());
  EXPECT_EQ(box->Count(), 0);

  // One drive only: its root; other letters name none.
  box->SetDrive('C');
  EXPECT_EQ(box->Directory(), (scratch.path() / "never").string());
  box->SetDrive('/');
  EXPECT_EQ(box->Directory(), (scratch.path() / "never").string());  // the same drive
  box->SetDirectory("relative/..");
  EXPECT_EQ(box->Directory(), rtl::ExcludeTrailingPathDelimiter(rtl::GetCurrentDir()));
}

TEST_F(FileListFolder, PathRowsAndNavigation) {
  auto* box = new TDirFileListBox(&owner);
  box->SetMask("*.pdf");
  box->SetDirectory(dir.string() + "/");
  // "/", then one row per folder of the path.
  std::vector<std::string> parts = {"/"};
  for (const auto& p : dir.relative_path()) parts.push_back(p.string());
  const int depth = static_cast<int>(parts.size()) - 1;
  EXPECT_EQ(box->PathDepth(), depth);
  std::vector<std::string> rows = Rows(*box);
  ASSERT_GT(rows.size(), parts.size());
  EXPECT_EQ(std::vector<std::string>(rows.begin(), rows.begin() + depth + 1), parts);
  EXPECT_EQ(rows[static_cast<size_t>(depth) + 1], "sub");

  fs::path expect = "/";
  for (int i = 0; i <= depth; ++i) {
    SCOPED_TRACE(i);
    if (i > 0) expect /= parts[static_cast<size_t>(i)];
    EXPECT_EQ(box->GetItemPath(i), expect.string());
    EXPECT_TRUE(box->IsDirectory(i));
    TDrawnRow r = box->DrawItem(i);
    EXPECT_EQ(r.Icon, ikOpenFolder);
    EXPECT_EQ(r.IconLeft, i * 5 + 2);
    EXPECT_EQ(r.Cells[0].Left, i * 5 + 20);
    EXPECT_EQ(r.Cells[1].Text, "<DIR>");
  }
  const int content = RowOf(*box, "b.pdf");
  EXPECT_FALSE(box->IsDirectory(content));
  EXPECT_EQ(box->GetItemPath(content), (dir / "b.pdf").string());
  EXPECT_EQ(box->DrawItem(content).IconLeft, (depth + 1) * 5 + 2);

  // No current row: nothing moves.
  box->SetItemIndex(-1);
  box->DblClick();
  EXPECT_EQ(box->Directory(), dir.string());
  // A file row: nothing moves; the event fires still.
  int dbl = 0;
  box->OnDblClick = [&](rtl::TComponent*) { ++dbl; };
  box->SetItemIndex(content);
  box->DblClick();
  EXPECT_EQ(box->Directory(), dir.string());
  // A folder of the contents is entered, a path row goes up.
  box->SelectFile("/elsewhere/sub");
  EXPECT_EQ(box->ItemIndex(), depth + 1);
  box->DblClick();
  EXPECT_EQ(box->Directory(), (dir / "sub").string());
  EXPECT_EQ(box->PathDepth(), depth + 1);
  box->SetItemIndex(1);
  box->DblClick();
  EXPECT_EQ(box->Directory(), "/" + parts[1]);
  box->SetItemIndex(0);
  box->DblClick();
  EXPECT_EQ(box->Directory(), "/");
  EXPECT_EQ(box->PathDepth(), 0);
  EXPECT_EQ(box->Items()[0], "/");
  EXPECT_EQ(dbl, 4);
}

TEST_F(FileListFolder, ClickFillsTheFileEditUntilItGoes) {
  TFileListBoxEx* box = List("*.pdf");
  auto* edit = new forms::TEdit(&owner);
  box->SetFileEdit(edit);
  box->SelectFile("b.pdf");
  box->Click();
  EXPECT_EQ(edit->Text, (dir / "b.pdf").string());
  box->SetItemIndex(-1);
  box->Click();
  EXPECT_EQ(edit->Text, "");
  box->Notification(edit, opRemove);
  EXPECT_EQ(box->FileEdit(), nullptr);
  box->Click();  // no edit to write into
}

TEST(FileListText, Routines) {
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "b"), "/b");
  EXPECT_EQ(AttributeLetters(0), "");
  EXPECT_EQ(AttributeLetters(rtl::faArchive | rtl::faReadOnly | rtl::faHidden | rtl::faSysFile), "SHRA");
  EXPECT_EQ(FormatFileTime(rtl::EncodeDate(2009, 3, 4) + rtl::EncodeTime(5, 6, 7, 0)), "09/03/04 05:06:07");
}

TEST(FileListText, ShortenTextCutsWholeCharacters) {
  graphics::TCanvas& canvas = graphics::ScreenCanvas();
  const std::string latin = "a_rather_long_scan_name_0001.pdf";
  const std::string japanese = "スキャン文書の長い名前です.pdf";
  for (const std::string& text : {latin, japanese}) {
    SCOPED_TRACE(text);
    const int full = canvas.TextWidth(text);
    EXPECT_EQ(ShortenText(canvas, text, full), text);
    for (int width : {full - 1, full / 2, 25, 0}) {
      SCOPED_TRACE(width);
      std::string s = ShortenText(canvas, text, width);
      ASSERT_GE(s.size(), 3u);
      ASSERT_EQ(s.substr(s.size() - 2), "..");
      const std::string prefix = s.substr(0, s.size() - 2);
      EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
      // Whole characters, the longest that fit (at least one).
      size_t next = prefix.size() + rtl::CharByteLength(text, prefix.size());
      if (canvas.TextWidth(s) > width)
        EXPECT_EQ(prefix.size(), rtl::CharByteLength(text, 0));
      else
        EXPECT_GT(canvas.TextWidth(text.substr(0, next) + ".."), width);
      std::u16string wide(prefix.size(), 0);
      EXPECT_GT(rtl::MultiByteToWideChar(rtl::CP_UTF8, rtl::MB_ERR_INVALID_CHARS, prefix.data(),
                                         static_cast<int>(prefix.size()), wide.data(),
                                         static_cast<int>(wide.size())),
                0)
          << "cut inside a character";
    }
  }
}

}  // namespace
}  // namespace controls
