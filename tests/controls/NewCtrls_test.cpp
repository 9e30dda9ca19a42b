#include "controls/NewCtrls.h"

#include <cerrno>

#include "platform/forms/ComCtrls.h"
#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using controls::TFileDrop;
using controls::TFileOperation;
using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

namespace {

// The converter's clean-up options.
const controls::TFileOpFlags kCleanUp{controls::fofSilent, controls::fofNoConfirmation,
                                      controls::fofAllowUndo, controls::fofFilesOnly, controls::fofNoErrorUI};

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> n;
  if (!fs::exists(dir)) return n;
  for (const auto& e : fs::directory_iterator(dir)) n.push_back(e.path().filename().string());
  std::sort(n.begin(), n.end());
  return n;
}

}  // namespace

TEST(FileOperationTest, DefaultsAndJoining) {
  TFileOperation op;
  EXPECT_EQ(op.Options, (controls::TFileOpFlags{controls::fofAllowUndo, controls::fofFilesOnly}));
  EXPECT_EQ(op.FromFiles().Count(), 0);
  EXPECT_EQ(op.ToFiles().Count(), 0);
  EXPECT_EQ(op.Title, "");
  EXPECT_EQ(TFileOperation::JoinList(op.FromFiles()), std::string(1, '\0'));
  rtl::TStringList l;
  l.Add("a");
  l.Add("b c");
  EXPECT_EQ(TFileOperation::JoinList(l), std::string("a\0b c\0\0", 7));
  op.SetFromFiles(l);
  l.Add("later");  // the component holds its own copy
  EXPECT_EQ(op.FromFiles().Count(), 2);
}

TEST(FileOperationTest, WorkFolderCleanUpGoesIntoTheTrash) {
  ScratchDir dir;
  const fs::path work = dir / "cmdline";
  fs::create_directories(work / "inner.pdf");  // a folder: files only
  for (const char* f : {"$$temp$$.pdf", "$$temp$$.TIF", "a.bmp", "$$temp$$-0000.jpg", "$$temp$$-0000.pbm",
                        "$$temp$$-0001.ppm", "pdfimages", "notes.txt"})
    WriteFileBytes(work / f, f);
  TFileOperation op;
  op.Options = kCleanUp;
  op.TrashFolder = dir / "Trash";
  for (const char* m : {"*.pdf", "*.tif", "*.bmp", "*.jpg", "*.pbm", "*.ppm"})
    op.FromFiles().Add((work / m).string());
  EXPECT_FALSE(op.DeleteFiles());
  EXPECT_EQ(op.ErrorCode(), 0);
  ASSERT_EQ(op.Results().size(), 6u);
  for (const auto& r : op.Results()) EXPECT_EQ(r.Outcome, os::fooTrashed) << r.Path << ": " << r.Message;
  EXPECT_EQ(Names(work), (std::vector<std::string>{"inner.pdf", "notes.txt", "pdfimages"}));
  EXPECT_EQ(Names(dir / "Trash" / "files").size(), 6u);
  EXPECT_EQ(Names(dir / "Trash" / "info").size(), 6u);
}

TEST(FileOperationTest, OutcomeTable) {
  struct Case {
    const char* label;
    controls::TFileOpFlags options;
    bool trashUsable;
    bool folderExists;
    bool aborted;
    int error;  // -1: any nonzero
    os::TFileOpOutcome outcome;
    bool fileLeft;
  } cases[] = {
      {"converter options, Trash unusable: unlinked, said so", kCleanUp, false, true, false, 0,
       os::fooDeletedNoTrash, false},
      {"default options, Trash unusable: kept",
       {controls::fofAllowUndo, controls::fofFilesOnly},
       false,
       true,
       true,
       -1,
       os::fooKept,
       true},
      {"no undo: removed for good",
       {controls::fofSilent, controls::fofNoConfirmation},
       true,
       true,
       false,
       0,
       os::fooDeleted,
       false},
      {"missing work folder: the shell's error", kCleanUp, true, false, true, ENOENT, os::fooFailed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    const fs::path work = dir / "cmdline";
    if (c.folderExists) {
      fs::create_directories(work);
      WriteFileBytes(work / "x.pdf", "x");
    }
    if (!c.trashUsable) WriteFileBytes(dir / "Trash", "not a folder");
    TFileOperation op;
    op.Options = c.options;
    op.TrashFolder = dir / "Trash";
    op.FromFiles().Add((work / "*.PDF").string());
    EXPECT_EQ(op.DeleteFiles(), c.aborted);
    if (c.error < 0) {
      EXPECT_NE(op.ErrorCode(), 0);
    } else {
      EXPECT_EQ(op.ErrorCode(), c.error);
    }
    ASSERT_EQ(op.Results().size(), 1u);
    EXPECT_EQ(op.Results()[0].Outcome, c.outcome) << op.Results()[0].Message;
    EXPECT_EQ(fs::exists(work / "x.pdf"), c.fileLeft);
    if (c.outcome == os::fooDeleted) {
      EXPECT_FALSE(fs::exists(dir / "Trash"));
    }
  }
}

TEST(FileOperationTest, EmptyListAndFoldersWithoutFilesOnly) {
  ScratchDir dir;
  TFileOperation op;
  op.TrashFolder = dir / "Trash";
  EXPECT_FALSE(op.DeleteFiles());
  EXPECT_EQ(op.ErrorCode(), 0);
  EXPECT_TRUE(op.Results().empty());

  fs::create_directories(dir / "w" / "sub.pdf");
  op.Options = {controls::fofAllowUndo, controls::fofNoConfirmation};  // folders too
  op.FromFiles().Add((dir / "w" / "*.pdf").string());
  EXPECT_FALSE(op.DeleteFiles());
  EXPECT_FALSE(fs::exists(dir / "w" / "sub.pdf"));
  EXPECT_TRUE(fs::is_directory(dir / "Trash" / "files" / "sub.pdf"));
}

namespace {

struct DropRecorder {
  std::vector<std::vector<std::string>> drops;
  std::vector<int> nums;
  std::vector<std::pair<int, int>> points;
  controls::TFileDropEvent Handler() {
    return [this](rtl::TObject*, int num, rtl::TStrings& files, int x, int y) {
      std::vector<std::string> v;
      for (int i = 0; i < files.Count(); ++i) v.push_back(files.Strings(i));
      drops.push_back(v);
      nums.push_back(num);
      points.emplace_back(x, y);
    };
  }
};

}  // namespace

TEST(FileDropTest, ThreeFilesGiveOneEventInOrder) {
  forms::TForm form(nullptr);
  auto* page = new forms::TPageControl(&form);
  TFileDrop* drop = new TFileDrop(&form);
  DropRecorder rec;
  drop->OnFileDrop = rec.Handler();
  drop->SetControl(page);
  EXPECT_TRUE(drop->Hooked());
  EXPECT_TRUE(os::DragAcceptsFiles(page));
  const std::string longName = "/data/" + std::string(300, 'n') + ".pdf";  // arrives whole
  EXPECT_TRUE(os::DeliverDrop(page, {{"/s/b.pdf", "/s/a b.pdf", longName}, 12, 34}));
  ASSERT_EQ(rec.drops.size(), 1u);
  EXPECT_EQ(rec.nums[0], 3);
  EXPECT_EQ(rec.drops[0], (std::vector<std::string>{"/s/b.pdf", "/s/a b.pdf", longName}));
  EXPECT_EQ(rec.points[0], std::make_pair(12, 34));
}

TEST(FileDropTest, AcceptFalseRefusesTheDrop) {
  forms::TForm form(nullptr);
  TFileDrop drop(nullptr);
  DropRecorder rec;
  drop.OnFileDrop = rec.Handler();
  drop.SetControl(&form);
  drop.SetAccept(false);
  const os::TDropWindow w = static_cast<forms::TWinControl*>(&form);
  EXPECT_FALSE(os::DragAcceptsFiles(w));
  EXPECT_FALSE(os::DeliverDrop(w, {{"/x.pdf"}, 0, 0}));
  EXPECT_TRUE(rec.drops.empty());
  drop.SetAccept(true);
  EXPECT_TRUE(os::DeliverDrop(w, {{"/x.pdf"}, 0, 0}));
  EXPECT_EQ(rec.drops.size(), 1u);
}

TEST(FileDropTest, HandlerErrorIsReportedAndTheNextDropWorks) {
  // The application's standard report shows the message in a message box.
  forms::TApplication app;
  auto presenter = std::make_unique<forms::TScriptedPresenter>();
  forms::TScriptedPresenter* shown = presenter.get();
  app.SetPresenter(std::move(presenter));
  forms::TForm* form = nullptr;
  app.CreateForm(form);
  TFileDrop* drop = new TFileDrop(form);
  int calls = 0;
  drop->OnFileDrop = [&](rtl::TObject*, int, rtl::TStrings&, int, int) {
    if (++calls == 1) throw rtl::Exception("not a PDF");
  };
  drop->Loaded();  // no control: the owner form takes the drops
  const os::TDropWindow w = static_cast<forms::TWinControl*>(form);
  EXPECT_TRUE(os::DeliverDrop(w, {{"/a.txt"}, 0, 0}));
  ASSERT_EQ(shown->Messages.size(), 1u);
  EXPECT_EQ(shown->Messages[0].Text, "not a PDF.");  // the report ends it with a stop
  EXPECT_TRUE(os::DeliverDrop(w, {{"/b.pdf"}, 0, 0}));
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(shown->Messages.size(), 1u);
}

TEST(FileDropTest, HookingAndUnhooking) {
  // No control and an owner that is no form: nothing to hook.
  rtl::TComponent notAForm;
  TFileDrop* lone = new TFileDrop(&notAForm);
  try {
    lone->Loaded();
    FAIL() << "expected an exception";
  } catch (const rtl::Exception& e) {
    EXPECT_STREQ(e.what(), "Invalidate Window Handle in FileDrop");
  }
  EXPECT_FALSE(lone->Hooked());

  forms::TPageControl pageControl(nullptr);
  forms::TWinControl& page = pageControl;
  DropRecorder first, second;
  auto* a = new TFileDrop(nullptr);
  a->OnFileDrop = first.Handler();
  a->SetControl(&page);
  {
    TFileDrop b(nullptr);  // a second target on the same window takes over
    b.OnFileDrop = second.Handler();
    b.SetControl(&page);
    EXPECT_TRUE(os::DeliverDrop(&page, {{"/1"}, 0, 0}));
    EXPECT_EQ(second.drops.size(), 1u);
  }  // b puts a's procedure back
  EXPECT_TRUE(os::DeliverDrop(&page, {{"/2"}, 0, 0}));
  EXPECT_EQ(first.drops.size(), 1u);

  // The window goes away: Control cleared, Accept off, no more drops.
  a->Notification(&page, controls::opRemove);
  EXPECT_EQ(a->Control(), nullptr);
  EXPECT_FALSE(a->Accept());
  EXPECT_FALSE(os::DeliverDrop(&page, {{"/3"}, 0, 0}));
  delete a;

  // Unassigned OnFileDrop: the drop is taken and ignored.
  TFileDrop quiet(nullptr);
  quiet.SetControl(&page);
  EXPECT_TRUE(os::DeliverDrop(&page, {{"/4"}, 0, 0}));
  EXPECT_EQ(first.drops.size(), 1u);
}
