#include "controls/DropSource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "platform/rtl/CodePages.h"
#include "support/TestSupport.h"

namespace tk::test::controls {
namespace {

namespace fs = std::filesystem;
using ::controls::TDropFileSource;

os::FORMATETC Request(uint16_t format, uint32_t aspect = os::DVASPECT_CONTENT,
                      uint32_t tymed = os::TYMED_HGLOBAL) {
  return {format, nullptr, aspect, -1, tymed};
}

std::string Bytes(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

// Debian's python reads the blocks as a receiving program would, from the
// published layouts: DROPFILES with its zero-separated names, the item-list
// array with its offsets, and UTF-16 name maps.
constexpr const char* kDecoder = R"(
import struct, sys
kind, path = sys.argv[1], sys.argv[2]
b = open(path, 'rb').read()
if kind == 'hdrop':
    pfiles, x, y, fnc, fwide = struct.unpack_from('<IiiII', b, 0)
    print('header', pfiles, x, y, fnc, fwide)
    names = b[pfiles:].split(b'\0')
    for n in names:
        if not n: break
        print(n.decode('utf-8'))
elif kind == 'cida':
    n = struct.unpack_from('<I', b, 0)[0]
    offs = struct.unpack_from('<%dI' % (n + 1), b, 4)
    def items(at):
        out = []
        while True:
            cb = struct.unpack_from('<H', b, at)[0]
            if cb == 0: return out
            out.append(b[at + 2:at + cb].decode('utf-8'))
            at += cb
    folder = '/' + '/'.join(items(offs[0]))
    for o in offs[1:]:
        print(folder.rstrip('/') + '/' + '/'.join(items(o)))
elif kind == 'mapw':
    assert b[-2:] == b'\0\0'
    for n in b[:-2].decode('utf-16-le').split('\0')[:-1]:
        print(n)
)";

std::string Decode(const char* kind, const std::vector<uint8_t>& block, const ScratchDir& dir) {
  WriteFileBytes(dir / "block.bin", Bytes(block));
  WriteFileBytes(dir / "decode.py", kDecoder);
  auto r = RunTool({"/usr/bin/python3", (dir / "decode.py").string(), kind, (dir / "block.bin").string()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.out;
}

TEST(DropFileSource, OffersFiveFormatsAndAnswersQueriesByFormatAspectAndMedium) {
  TDropFileSource src;
  const uint16_t want[] = {os::CF_HDROP, ::controls::CF_SHELLIDLIST(), ::controls::CF_PREFERREDDROPEFFECT(),
                           ::controls::CF_FILENAMEMAP(), ::controls::CF_FILENAMEMAPW()};
  ASSERT_EQ(src.FormatCount(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(src.Format(i).cfFormat, want[i]);
    EXPECT_EQ(src.Format(i).dwAspect, os::DVASPECT_CONTENT);
    EXPECT_EQ(src.Format(i).lindex, -1);
    EXPECT_EQ(src.Format(i).tymed, os::TYMED_HGLOBAL);
  }
  EXPECT_EQ(os::ClipboardFormatName(want[1]), "Shell IDList Array");
  EXPECT_EQ(os::ClipboardFormatName(want[4]), "FileNameMapW");
  EXPECT_EQ(src.QueryGetData(Request(os::CF_HDROP)), os::S_OK);
  EXPECT_EQ(
      src.QueryGetData(Request(os::CF_HDROP, os::DVASPECT_CONTENT, os::TYMED_HGLOBAL | os::TYMED_ISTREAM)),
      os::S_OK);
  EXPECT_EQ(src.QueryGetData(Request(os::CF_HDROP, os::DVASPECT_THUMBNAIL)), os::E_FAIL);
  EXPECT_EQ(src.QueryGetData(Request(os::CF_HDROP, os::DVASPECT_CONTENT, os::TYMED_ISTREAM)), os::E_FAIL);
  EXPECT_EQ(src.QueryGetData(Request(os::CF_TEXT)), os::E_FAIL);
  for (int i = 0; i < 20; ++i) src.AddFormatEtc(static_cast<uint16_t>(100 + i), nullptr, 1, -1, 1);
  EXPECT_EQ(src.FormatCount(), ::controls::kMaxFormatEtc);  // the rest is ignored
  EXPECT_EQ(src.Format(19).cfFormat, 114);

  os::FORMATETC out;
  EXPECT_EQ(src.GetCanonicalFormatEtc(Request(os::CF_HDROP), out), os::DATA_S_SAMEFORMATETC);
  os::STGMEDIUM m;
  EXPECT_EQ(src.GetDataHere(Request(os::CF_HDROP), m), os::E_NOTIMPL);
  EXPECT_EQ(src.SetData(Request(os::CF_HDROP), m, false), os::E_NOTIMPL);
  EXPECT_EQ(src.DAdvise(), os::OLE_E_ADVISENOTSUPPORTED);
}

TEST(DropFileSource, AnEmptyListRendersNothing) {
  TDropFileSource src;
  for (uint16_t f :
       {os::CF_HDROP, ::controls::CF_PREFERREDDROPEFFECT(), ::controls::CF_SHELLIDLIST(), os::CF_TEXT}) {
    os::STGMEDIUM m;
    EXPECT_EQ(src.GetData(Request(f), m), os::E_UNEXPECTED);
    EXPECT_EQ(m.tymed, 0u);
  }
  EXPECT_FALSE(src.PlaceOnClipboard());
  EXPECT_FALSE(src.CopyToClipboard());
}

TEST(DropFileSource, FileListLayout) {
  ScratchDir dir;
  TDropFileSource src;
  src.Files().Add("/a/x.tif");
  src.Files().Add("/a/y.tif");
  os::STGMEDIUM m;
  ASSERT_EQ(src.GetData(Request(os::CF_HDROP), m), os::S_OK);
  EXPECT_EQ(m.tymed, os::TYMED_HGLOBAL);
  // 20 bytes of header, each name and its zero, one more zero.
  const std::string header("\x14\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 20);
  EXPECT_EQ(Bytes(m.hGlobal), header + std::string("/a/x.tif\0/a/y.tif\0\0", 19));
  EXPECT_EQ(m.hGlobal.size(), 20u + 9 + 9 + 1);
  EXPECT_EQ(Decode("hdrop", m.hGlobal, dir), "header 20 0 0 0 0\n/a/x.tif\n/a/y.tif\n");

  // Not for the content, or not in global memory: not rendered.
  EXPECT_EQ(src.GetData(Request(os::CF_HDROP, os::DVASPECT_THUMBNAIL), m), os::DV_E_FORMATETC);
  EXPECT_EQ(src.GetData(Request(os::CF_HDROP, os::DVASPECT_CONTENT, os::TYMED_ISTREAM), m),
            os::DV_E_FORMATETC);
  EXPECT_EQ(src.GetData(Request(os::CF_TEXT), m), os::DV_E_FORMATETC);

  // An empty entry would end the list early and hide the names after it.
  src.Files().Insert(0, "");
  ASSERT_EQ(src.GetData(Request(os::CF_HDROP), m), os::S_OK);
  EXPECT_EQ(Decode("hdrop", m.hGlobal, dir), "header 20 0 0 0 0\n/a/x.tif\n/a/y.tif\n");
}

TEST(DropFileSource, DoubleByteNamesAreCountedInBytes) {
  ScratchDir dir;
  std::optional<SystemCodePage> shiftJis(std::in_place, rtl::CP_SHIFTJIS);
  TDropFileSource src;
  const std::string sjis = "/s/\x83\x65\x83\x58\x83\x67.tif";  // テスト.tif
  src.Files().Add(sjis);
  src.MappedNames().Add("\x83\x65\x83\x58\x83\x67.tif");
  os::STGMEDIUM hdrop, map, mapw;
  ASSERT_EQ(src.GetData(Request(os::CF_HDROP), hdrop), os::S_OK);
  ASSERT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAP()), map), os::S_OK);
  ASSERT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAPW()), mapw), os::S_OK);
  shiftJis.reset();
  EXPECT_EQ(hdrop.hGlobal.size(), 20 + sjis.size() + 2);
  EXPECT_EQ(Bytes(hdrop.hGlobal).substr(20), sjis + std::string("\0\0", 2));
  EXPECT_EQ(Bytes(map.hGlobal), std::string("\x83\x65\x83\x58\x83\x67.tif\0\0", 12));
  // Seven characters, its zero and the final zero.
  EXPECT_EQ(mapw.hGlobal.size(), 2u * (7 + 1 + 1));
  EXPECT_EQ(Decode("mapw", mapw.hGlobal, dir), "テスト.tif\n");
}

TEST(DropFileSource, NameMapsOnlyWhenEveryFileHasItsName) {
  TDropFileSource src;
  src.Files().Add("/a/x.tif");
  src.Files().Add("/a/y.tif");
  src.MappedNames().Add("one.tif");
  os::STGMEDIUM m;
  EXPECT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAP()), m), os::DV_E_FORMATETC);
  EXPECT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAPW()), m), os::DV_E_FORMATETC);
  src.MappedNames().Add("");  // as many, but one says nothing
  EXPECT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAP()), m), os::DV_E_FORMATETC);
  src.MappedNames().PutStrings(1, "two.tif");
  ASSERT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAP()), m), os::S_OK);
  EXPECT_EQ(Bytes(m.hGlobal), std::string("one.tif\0two.tif\0\0", 17));
  ASSERT_EQ(src.GetData(Request(::controls::CF_FILENAMEMAPW()), m), os::S_OK);
  EXPECT_EQ(m.hGlobal.size(), 2u + 2 * 8 + 2 * 8);
  EXPECT_EQ(m.hGlobal[0], 'o');
  EXPECT_EQ(m.hGlobal[1], 0);
}

TEST(DropFileSource, ShellItemListsNameEveryFileFromTheirCommonFolder) {
  ScratchDir dir;
  fs::create_directories(dir / "out" / "sub");
  for (const char* f : {"out/a.tif", "out/b.tif", "out/sub/c.tif"}) WriteFileBytes(dir / f, "x");
  TDropFileSource src;
  src.Files().Add((dir / "out" / "a.tif").string());
  src.Files().Add((dir / "out" / "b.tif").string());
  os::STGMEDIUM m;
  ASSERT_EQ(src.GetData(Request(::controls::CF_SHELLIDLIST()), m), os::S_OK);
  const std::string a = (dir / "out" / "a.tif").string(), b = (dir / "out" / "b.tif").string();
  EXPECT_EQ(Decode("cida", m.hGlobal, dir), a + "\n" + b + "\n");
  // The folder's list follows the count and three offsets.
  EXPECT_EQ(m.hGlobal[4], 4 * 2 + 8);

  // A file of another folder is named by its own path, not the first one's.
  src.Files().Add((dir / "out" / "sub" / "c.tif").string());
  ASSERT_EQ(src.GetData(Request(::controls::CF_SHELLIDLIST()), m), os::S_OK);
  EXPECT_EQ(Decode("cida", m.hGlobal, dir),
            a + "\n" + b + "\n" + (dir / "out" / "sub" / "c.tif").string() + "\n");

  fs::remove(dir / "out" / "b.tif");
  EXPECT_EQ(src.GetData(Request(::controls::CF_SHELLIDLIST()), m), os::STG_E_FILENOTFOUND);
  EXPECT_EQ(m.tymed, 0u);
}

TEST(DropSource, ContinueAndFeedback) {
  TDropFileSource src;
  src.Dragtypes = {::controls::dtCopy, ::controls::dtMove};
  std::vector<::controls::TDragType> asked;
  bool allow = true;
  src.OnDrop = [&](rtl::TObject*, ::controls::TDragType t, bool& go) {
    asked.push_back(t);
    go = allow;
  };
  struct Case {
    const char* name;
    uint32_t lastEffect;
    bool escape;
    uint32_t keys;
    bool allow;
    os::HRESULT want;
    int asks;
  } cases[] = {
      {"escape", os::DROPEFFECT_COPY, true, os::MK_LBUTTON, true, os::DRAGDROP_S_CANCEL, 0},
      {"left button held", os::DROPEFFECT_COPY, false, os::MK_LBUTTON, true, os::S_OK, 0},
      {"right button held", 0, false, os::MK_RBUTTON | os::MK_CONTROL, true, os::S_OK, 0},
      {"released, nothing would happen", 0, false, 0, true, os::DRAGDROP_S_CANCEL, 0},
      {"released on a link: not allowed", os::DROPEFFECT_LINK, false, 0, true, os::DRAGDROP_S_CANCEL, 0},
      {"released on copy and move: copy", os::DROPEFFECT_COPY | os::DROPEFFECT_MOVE, false, 0, true,
       os::DRAGDROP_S_DROP, 1},
      {"released, the handler says no", os::DROPEFFECT_MOVE, false, 0, false, os::DRAGDROP_S_CANCEL, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    asked.clear();
    allow = c.allow;
    EXPECT_EQ(src.GiveFeedback(c.lastEffect), os::DRAGDROP_S_USEDEFAULTCURSORS);
    EXPECT_EQ(src.QueryContinueDrag(c.escape, c.keys), c.want);
    EXPECT_EQ(static_cast<int>(asked.size()), c.asks);
  }
  EXPECT_EQ(asked, std::vector<::controls::TDragType>{::controls::dtMove});

  int told = -1;
  src.OnFeedback = [&](rtl::TObject*, int effect, bool& defaults) {
    told = effect;
    defaults = false;
  };
  EXPECT_EQ(src.GiveFeedback(os::DROPEFFECT_MOVE), os::S_OK);
  EXPECT_EQ(told, 2);
  src.Files().Add("/a/x.tif");
  os::STGMEDIUM m;
  ASSERT_EQ(src.GetData(Request(::controls::CF_PREFERREDDROPEFFECT()), m), os::S_OK);
  EXPECT_EQ(m.hGlobal, (std::vector<uint8_t>{2, 0, 0, 0}));
}

TEST(DropSource, EnumeratorStepsThroughItsOwnCopy) {
  std::unique_ptr<os::IEnumFORMATETC> e;
  {
    TDropFileSource src;
    EXPECT_EQ(src.EnumFormatEtc(os::DATADIR_SET, e), os::E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(src.EnumFormatEtc(7, e), os::E_INVALIDARG);
    ASSERT_EQ(src.EnumFormatEtc(os::DATADIR_GET, e), os::S_OK);
  }  // the source is gone; the enumerator still works
  os::FORMATETC got[5];
  uint32_t fetched = 0;
  EXPECT_EQ(e->Next(3, got, &fetched), os::S_OK);
  EXPECT_EQ(fetched, 3u);
  EXPECT_EQ(got[0].cfFormat, os::CF_HDROP);
  std::unique_ptr<os::IEnumFORMATETC> clone;
  ASSERT_EQ(e->Clone(clone), os::S_OK);
  EXPECT_EQ(e->Next(5, got, &fetched), os::S_FALSE);  // at 3 of 5: two left
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(got[1].cfFormat, ::controls::CF_FILENAMEMAPW());
  EXPECT_EQ(clone->Skip(2), os::S_OK);  // the clone kept index 3
  EXPECT_EQ(static_cast<::controls::TEnumFormatEtc&>(*clone).Index(), 5u);
  EXPECT_EQ(clone->Skip(1), os::S_FALSE);
  EXPECT_EQ(e->Reset(), os::S_OK);
  EXPECT_EQ(e->Next(1, nullptr, nullptr), os::E_INVALIDARG);
  EXPECT_EQ(e->Next(1, got, nullptr), os::S_OK);
}

// Installs a drag loop for one test.
struct LoopGuard {
  explicit LoopGuard(os::TDragLoop loop) : old(os::SetDragLoop(std::move(loop))) {}
  ~LoopGuard() { os::SetDragLoop(std::move(old)); }
  os::TDragLoop old;
};

TEST(DropSource, StartDragResults) {
  struct Case {
    const char* name;
    uint32_t over, done;
    bool withLink;
    uint8_t want;
  } cases[] = {
      {"copy and move: copy wins", 3, 3, false, ::controls::kDragCopied},
      {"move", 2, 2, false, ::controls::kDragMoved},
      {"link, allowed", 4, 4, true, ::controls::kDragLinked},
      {"link, not allowed", 4, 4, false, ::controls::kDragCancelled},
      {"dropped, but the target did nothing", 2, 0, false, ::controls::kDragCancelled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TDropFileSource src;
    src.Files().Add("/a/x.tif");
    src.Dragtypes = {::controls::dtCopy, ::controls::dtMove};
    if (c.withLink) src.Dragtypes.Include(::controls::dtLink);
    os::TDropTarget target;
    std::string seen;
    target.Over = [&](os::IDataObject&, uint32_t, uint32_t) { return c.over; };
    target.Drop = [&](os::IDataObject& data, uint32_t, uint32_t) {
      os::STGMEDIUM m;
      if (data.GetData(Request(os::CF_HDROP), m) == os::S_OK) seen = Bytes(m.hGlobal).substr(20);
      return c.done;
    };
    LoopGuard guard([&](os::TDragSession& s) {
      EXPECT_TRUE(src.Dragging());
      EXPECT_EQ(src.StartDrag(), ::controls::kDragFailed);  // one drag at a time
      s.Step(&target, os::MK_LBUTTON);
      s.Step(&target, 0);
    });
    EXPECT_EQ(src.StartDrag(), c.want);
    EXPECT_FALSE(src.Dragging());
    if (c.want != ::controls::kDragCancelled || c.done == 0) {
      EXPECT_EQ(seen, std::string("/a/x.tif\0\0", 10));
    }
  }
}

TEST(DropSource, AnEarlierDragsEffectDoesNotDropTheNextOne) {
  TDropFileSource src;
  src.Files().Add("/a/x.tif");
  int drops = 0;
  src.OnDrop = [&](rtl::TObject*, ::controls::TDragType, bool&) { ++drops; };
  os::TDropTarget target;
  target.Over = [](os::IDataObject&, uint32_t, uint32_t) { return os::DROPEFFECT_COPY; };
  {
    LoopGuard guard([&](os::TDragSession& s) {
      s.Step(&target, os::MK_LBUTTON);
      s.Step(&target, 0);
    });
    EXPECT_EQ(src.StartDrag(), ::controls::kDragCopied);
  }
  // Released at once, before any feedback.
  LoopGuard guard([&](os::TDragSession& s) { s.Step(&target, 0); });
  EXPECT_EQ(src.StartDrag(), ::controls::kDragCancelled);
  EXPECT_EQ(drops, 1);
}

TEST(DropSource, ClipboardGetsTheFilesAndTheEffect) {
  TDropFileSource src;
  src.Files().Add("/a/x.tif");
  for (auto [cut, effect] : {std::pair{false, 1}, std::pair{true, 2}}) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(cut ? src.CutToClipboard() : src.CopyToClipboard());
    const auto* files = os::GetClipboardData(os::CF_HDROP);
    const auto* pref = os::GetClipboardData(::controls::CF_PREFERREDDROPEFFECT());
    ASSERT_TRUE(files && pref);
    EXPECT_EQ(Bytes(*files).substr(20), std::string("/a/x.tif\0\0", 10));
    EXPECT_EQ(*pref, (std::vector<uint8_t>{static_cast<uint8_t>(effect), 0, 0, 0}));
  }
  // Busy elsewhere: nothing placed.
  ASSERT_TRUE(os::OpenClipboard());
  EXPECT_FALSE(src.CopyToClipboard());
  os::CloseClipboard();
}

TEST(DropSource, DragImageFollowsItsList) {
  TDropFileSource src;
  // No list: nothing to show, whatever is asked.
  src.SetShowImage(true);
  src.SetImageIndex(3);
  EXPECT_FALSE(src.ShowImage());
  EXPECT_EQ(src.ImageIndex(), 0);

  forms::TImageList images;
  for (int i = 0; i < 3; ++i) images.Add(std::make_unique<graphics::TBitmap>());
  src.SetImageIndex(2);
  src.SetImages(&images);  // a new list starts at its first image, shown
  EXPECT_TRUE(src.ShowImage());
  EXPECT_EQ(src.ImageIndex(), 0);
  src.SetImageIndex(2);
  EXPECT_EQ(src.ImageIndex(), 2);
  src.SetImageIndex(3);  // past the images: ignored
  EXPECT_EQ(src.ImageIndex(), 2);
  EXPECT_TRUE(src.ShowImage());
  src.SetImageIndex(-1);
  EXPECT_EQ(src.ImageIndex(), 0);
  EXPECT_FALSE(src.ShowImage());

  src.SetShowImage(true);
  src.SetImageIndex(1);
  src.Notification(&images, ::controls::opRemove);
  EXPECT_EQ(src.Images(), nullptr);
  EXPECT_EQ(src.ImageIndex(), 0);
  EXPECT_FALSE(src.ShowImage());

  forms::TImageList empty;
  src.SetImages(&empty);
  src.SetImageIndex(0);  // an empty list has nothing to show
  EXPECT_FALSE(src.ShowImage());
}

}  // namespace
}  // namespace tk::test::controls
