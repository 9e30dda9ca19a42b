#include "platform/os/DragDrop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

TEST(DragDropTest, DeliveredOnlyWhileAcceptedAndHooked) {
  int window = 0;
  std::vector<os::TDropFiles> got;
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 1, 2}));
  EXPECT_FALSE(os::SetDropProc(&window, [&](const os::TDropFiles& d) { got.push_back(d); }));
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 1, 2}));  // not accepting yet
  os::DragAcceptFiles(&window, true);
  EXPECT_TRUE(os::DragAcceptsFiles(&window));
  EXPECT_TRUE(os::DeliverDrop(&window, {{"/a", "/b c"}, 3, 4}));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Files, (std::vector<std::string>{"/a", "/b c"}));
  EXPECT_EQ(got[0].X, 3);
  EXPECT_EQ(got[0].Y, 4);
  os::DragAcceptFiles(&window, false);
  EXPECT_FALSE(os::DeliverDrop(&window, {{"/a"}, 0, 0}));
  EXPECT_TRUE(os::SetDropProc(&window, nullptr));
  EXPECT_FALSE(os::DropProcOf(&window));
  EXPECT_EQ(got.size(), 1u);
}

namespace {

// A source that records the loop's questions and answers as a file
// manager's drop source does: go on while a button is held, drop on the
// last feedback effect, cancel on Escape or when nothing would happen.
struct Source : os::IDropSource {
  os::HRESULT QueryContinueDrag(bool escape, uint32_t keys) override {
    Log.push_back("continue " + std::to_string(keys));
    if (escape) return os::DRAGDROP_S_CANCEL;
    if (keys & os::MK_LBUTTON) return os::S_OK;
    return last ? os::DRAGDROP_S_DROP : os::DRAGDROP_S_CANCEL;
  }
  os::HRESULT GiveFeedback(uint32_t effect) override {
    last = effect;
    Log.push_back("feedback " + std::to_string(effect));
    return os::DRAGDROP_S_USEDEFAULTCURSORS;
  }
  uint32_t last = 0;
  std::vector<std::string> Log;
};

struct NoData : os::IDataObject {
  os::HRESULT GetData(const os::FORMATETC&, os::STGMEDIUM&) override { return os::DV_E_FORMATETC; }
  os::HRESULT GetDataHere(const os::FORMATETC&, os::STGMEDIUM&) override { return os::E_NOTIMPL; }
  os::HRESULT QueryGetData(const os::FORMATETC&) override { return os::E_FAIL; }
  os::HRESULT GetCanonicalFormatEtc(const os::FORMATETC&, os::FORMATETC&) override { return os::E_NOTIMPL; }
  os::HRESULT SetData(const os::FORMATETC&, os::STGMEDIUM&, bool) override { return os::E_NOTIMPL; }
  os::HRESULT EnumFormatEtc(uint32_t, std::unique_ptr<os::IEnumFORMATETC>&) override { return os::E_NOTIMPL; }
  os::HRESULT DAdvise() override { return os::OLE_E_ADVISENOTSUPPORTED; }
  os::HRESULT DUnadvise() override { return os::OLE_E_ADVISENOTSUPPORTED; }
  os::HRESULT EnumDAdvise() override { return os::OLE_E_ADVISENOTSUPPORTED; }
};

// Restores the previous drag loop at the end of a test.
struct LoopGuard {
  explicit LoopGuard(os::TDragLoop loop) : old(os::SetDragLoop(std::move(loop))) {}
  ~LoopGuard() { os::SetDragLoop(std::move(old)); }
  os::TDragLoop old;
};

}  // namespace

TEST(DragLoopTest, OutcomesOfADrag) {
  // A folder that would move what is dragged onto it, and does a copy.
  os::TDropTarget folder;
  folder.Over = [](os::IDataObject&, uint32_t, uint32_t allowed) { return allowed & os::DROPEFFECT_MOVE; };
  folder.Drop = [](os::IDataObject&, uint32_t, uint32_t) {
    return os::DROPEFFECT_COPY | os::DROPEFFECT_LINK;
  };
  os::TDropTarget refuses;  // takes nothing
  struct Case {
    const char* name;
    std::function<void(os::TDragSession&)> loop;
    uint32_t allowed;
    os::HRESULT result;
    uint32_t effect;
  } cases[] = {
      {"dropped on the folder: its effect, within the allowed ones",
       [&](os::TDragSession& s) {
         s.Step(&folder, os::MK_LBUTTON);
         s.Step(&folder, 0);
       },
       os::DROPEFFECT_COPY | os::DROPEFFECT_MOVE, os::DRAGDROP_S_DROP, os::DROPEFFECT_COPY},
      {"released over a place that takes nothing",
       [&](os::TDragSession& s) {
         s.Step(&refuses, os::MK_LBUTTON);
         s.Step(&refuses, 0);
       },
       os::DROPEFFECT_COPY, os::DRAGDROP_S_CANCEL, 0},
      {"escape", [&](os::TDragSession& s) { s.Step(&folder, os::MK_LBUTTON, true); }, os::DROPEFFECT_MOVE,
       os::DRAGDROP_S_CANCEL, 0},
      {"a loop that gives up cancels", [&](os::TDragSession& s) { s.Step(&folder, os::MK_LBUTTON); },
       os::DROPEFFECT_MOVE, os::DRAGDROP_S_CANCEL, 0},
      {"moved off the folder before the release",
       [&](os::TDragSession& s) {
         s.Step(&folder, os::MK_LBUTTON);
         s.Step(nullptr, os::MK_LBUTTON);
         s.Step(nullptr, 0);
       },
       os::DROPEFFECT_MOVE, os::DRAGDROP_S_CANCEL, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopGuard guard(c.loop);
    Source source;
    NoData data;
    uint32_t effect = 99;
    EXPECT_EQ(os::DoDragDrop(data, source, c.allowed, effect), c.result);
    EXPECT_EQ(effect, c.effect);
  }
}

TEST(DragLoopTest, FeedbackCarriesTheTargetsEffectAndStepsAfterTheEndDoNothing) {
  os::TDropTarget folder;
  folder.Over = [](os::IDataObject&, uint32_t keys, uint32_t) {
    return keys & os::MK_CONTROL ? os::DROPEFFECT_COPY : os::DROPEFFECT_MOVE | os::DROPEFFECT_LINK;
  };
  Source source;
  bool later = true;
  LoopGuard guard([&](os::TDragSession& s) {
    EXPECT_EQ(s.AllowedEffects(), os::DROPEFFECT_COPY | os::DROPEFFECT_MOVE);
    EXPECT_TRUE(s.Step(&folder, os::MK_LBUTTON));
    EXPECT_TRUE(s.Step(&folder, os::MK_LBUTTON | os::MK_CONTROL));
    EXPECT_FALSE(s.Step(&folder, os::MK_CONTROL));
    later = s.Step(&folder, os::MK_LBUTTON);
  });
  NoData data;
  uint32_t effect = 0;
  EXPECT_EQ(os::DoDragDrop(data, source, os::DROPEFFECT_COPY | os::DROPEFFECT_MOVE, effect),
            os::DRAGDROP_S_DROP);
  EXPECT_EQ(effect, os::DROPEFFECT_COPY);
  EXPECT_FALSE(later);
  EXPECT_EQ(source.Log,
            (std::vector<std::string>{"continue 1", "feedback 2", "continue 9", "feedback 1", "continue 8"}));
}

TEST(DragLoopTest, WithoutABackendOrAnEffectTheDragEndsAtOnce) {
  LoopGuard guard(nullptr);
  Source source;
  NoData data;
  uint32_t effect = 5;
  EXPECT_EQ(os::DoDragDrop(data, source, os::DROPEFFECT_COPY, effect), os::DRAGDROP_S_CANCEL);
  EXPECT_EQ(effect, 0u);
  EXPECT_EQ(os::DoDragDrop(data, source, 0, effect), os::E_INVALIDARG);
  EXPECT_TRUE(source.Log.empty());
}

TEST(ClipboardFormatTest, NamesGetStableNumbersIgnoringCase) {
  const uint16_t a = os::RegisterClipboardFormat("Test Format A");
  EXPECT_GE(a, 0xC000);
  EXPECT_EQ(os::RegisterClipboardFormat("test format a"), a);
  EXPECT_NE(os::RegisterClipboardFormat("Test Format B"), a);
  EXPECT_EQ(os::ClipboardFormatName(a), "Test Format A");
  EXPECT_EQ(os::RegisterClipboardFormat(""), 0);
  EXPECT_EQ(os::ClipboardFormatName(os::CF_HDROP), "");
}

TEST(ClipboardTest, AnOpeningReplacesWhatTheLastOneLeft) {
  ASSERT_TRUE(os::OpenClipboard());
  EXPECT_FALSE(os::OpenClipboard());  // open already
  EXPECT_TRUE(os::SetClipboardData(os::CF_TEXT, {'a', 0}));
  EXPECT_TRUE(os::SetClipboardData(os::CF_HDROP, {1, 2}));  // the same opening adds
  EXPECT_TRUE(os::CloseClipboard());
  EXPECT_FALSE(os::SetClipboardData(os::CF_TEXT, {'b', 0}));  // closed
  ASSERT_NE(os::GetClipboardData(os::CF_TEXT), nullptr);
  EXPECT_TRUE(os::IsClipboardFormatAvailable(os::CF_HDROP));

  ASSERT_TRUE(os::OpenClipboard());
  EXPECT_TRUE(os::SetClipboardData(os::CF_HDROP, {3}));
  EXPECT_TRUE(os::CloseClipboard());
  EXPECT_FALSE(os::IsClipboardFormatAvailable(os::CF_TEXT));
  EXPECT_EQ(*os::GetClipboardData(os::CF_HDROP), std::vector<uint8_t>{3});
}

TEST(ItemIdListTest, OneItemPerComponentOfAnExistingPath) {
  const tk::test::ScratchDir scratch;
  const std::filesystem::path& dir = scratch.path();
  std::filesystem::create_directories(dir / "sub");
  tk::test::WriteFileBytes(dir / "sub" / "x.tif", "x");
  std::vector<uint8_t> list;
  ASSERT_TRUE(os::ItemIdList((dir / "sub" / "x.tif").string(), list, dir.string()));
  const std::vector<uint8_t> want = {5, 0, 's', 'u', 'b', 7, 0, 'x', '.', 't', 'i', 'f', 0, 0};
  EXPECT_EQ(list, want);
  ASSERT_TRUE(os::ItemIdList("/", list));
  EXPECT_EQ(list, (std::vector<uint8_t>{0, 0}));
  EXPECT_FALSE(os::ItemIdList((dir / "gone.tif").string(), list));
  EXPECT_FALSE(os::ItemIdList((dir / "sub" / "x.tif").string(), list, "/elsewhere"));
  EXPECT_FALSE(os::ItemIdList("relative/x.tif", list));
}
