#include "imaging/ImageFormats.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "imaging/AutodeskGraphic.h"
#include "imaging/CUTGraphic.h"
#include "imaging/PCXGraphic.h"
#include "imaging/PPMGraphic.h"
#include "imaging/PSDGraphic.h"
#include "imaging/RLAGraphic.h"
#include "imaging/SGIGraphic.h"
#include "imaging/TargaGraphic.h"
#include "platform/graphics/Jpeg.h"
#include "support/TestSupport.h"

namespace imaging {
namespace {

using namespace std::string_literals;

// Readers for the registry's own tests: each claims streams that begin with
// its tag. They are registered only in lists that the tests make.
template <char Tag>
class TTagGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass() {
    static const std::string name = "TTag"s + Tag;
    static const TRasterGraphicClassInfo info{
        {name.c_str(), TRasterGraphic::StaticClass(),
         []() -> std::unique_ptr<graphics::TGraphic> { return std::make_unique<TTagGraphic>(); }},
        &TTagGraphic::CanReadStream};
    return &info;
  }
  graphics::TGraphicClass ClassType() const override { return StaticClass(); }
  static bool CanReadStream(rtl::TStream& s) {
    char c = 0;
    bool ok = s.Read(&c, 1) == 1 && (c == Tag || c == '*');
    s.Seek(5, rtl::soCurrent);  // a careless test: the registry puts it back
    return ok;
  }
  void LoadFromStream(rtl::TStream&) override {}
};
using TTagA = TTagGraphic<'A'>;
using TTagB = TTagGraphic<'B'>;

// A header test that throws on what it reads.
class TThrowingGraphic : public TRasterGraphic {
 public:
  static graphics::TGraphicClass StaticClass() {
    static const TRasterGraphicClassInfo info{{"TThrowingGraphic", TRasterGraphic::StaticClass(), nullptr},
                                              &TThrowingGraphic::CanReadStream};
    return &info;
  }
  static bool CanReadStream(rtl::TStream& s) {
    char c[4];
    s.ReadBuffer(c, 4);  // raises on short streams
    return false;
  }
  void LoadFromStream(rtl::TStream&) override {}
};

// Lists made by a test register with the process-wide picture registry and
// unregister their classes when they go; this puts back what the library's
// own registry entered.
class LocalRegistry : public testing::Test {
 protected:
  void TearDown() override {
    const TFileFormatList& f = FileFormats();
    for (int i = 0; i < f.ExtensionCount(); ++i) {
      const auto& e = f.ExtensionAt(i);
      graphics::TPicture::RegisterFileFormat(
          e.Extension, e.Description.empty() ? e.ClassEntry->Description : e.Description,
          e.ClassEntry->GraphicClass);
    }
  }
};

std::vector<std::string> Extensions(const TFileFormatList& list) {
  std::vector<std::string> v;
  for (int i = 0; i < list.ExtensionCount(); ++i) v.push_back(list.ExtensionAt(i).Extension);
  return v;
}

TEST(FileFormats, RegistrationTableOfTheClassesThatExist) {
  TFileFormatList& f = FileFormats();
  EXPECT_EQ(Extensions(f),
            (std::vector<std::string>{"bmp", "ico", "wmf", "emf", "jfif", "jpg",  "jpe", "jpeg", "rle", "dib",
                                      "win", "vst", "vda", "tga", "icb",  "tiff", "tif", "fax",  "eps", "pcx",
                                      "pcc", "scr", "rpf", "rla", "sgi",  "rgba", "rgb", "bw",   "psd", "pdd",
                                      "ppm", "pgm", "pbm", "cel", "pic",  "pcd",  "cut", "psp",  "png"}));
  EXPECT_EQ(f.IndexOfExtension("PPM"), f.IndexOfExtension("ppm"));
  EXPECT_EQ(f.IndexOfExtension("Pbm"), 32);
  EXPECT_EQ(f.IndexOfExtension(""), -1);
  EXPECT_EQ(f.IndexOfExtension("xyz"), -1);
  EXPECT_EQ(f.IndexOfClass(TPPMGraphic::StaticClass()), 11);
  EXPECT_EQ(f.ClassAt(3).Description, "JPG images");
  EXPECT_EQ(f.ClassAt(3).Count, 4);

  const auto& ppm = f.ExtensionAt(f.IndexOfExtension("ppm"));
  EXPECT_EQ(ppm.ClassEntry->GraphicClass, TPPMGraphic::StaticClass());
  EXPECT_EQ(ppm.ClassEntry->Description, "Portable map images");
  EXPECT_EQ(ppm.ClassEntry->Count, 3);
  EXPECT_EQ(ppm.FileKinds, fkRaster);
  EXPECT_EQ(f.ExtensionAt(f.IndexOfExtension("wmf")).FileKinds, fkVector);
  EXPECT_EQ(f.ExtensionAt(f.IndexOfExtension("bmp")).ClassEntry->Count, 3);
}

TEST(FileFormats, PictureRegistryKnowsEveryExtension) {
  FileFormats();
  struct Case {
    const char* extension;
    graphics::TGraphicClass graphicClass;
    const char* description;
  };
  const Case cases[] = {
      {"ppm", TPPMGraphic::StaticClass(), "Portable pixel map images"},
      {"pgm", TPPMGraphic::StaticClass(), "Portable gray map images"},
      {"pbm", TPPMGraphic::StaticClass(), "Portable bitmap images"},
      {"rla", TRLAGraphic::StaticClass(), "Alias/Wavefront images"},
      {"pdd", TPSDGraphic::StaticClass(), "Photoshop images"},
      {"pic", TAutodeskGraphic::StaticClass(), "Autodesk images"},
      {"cut", TCUTGraphic::StaticClass(), "Dr. Halo images"},
      {"bmp", graphics::TBitmap::StaticClass(), "Windows bitmaps"},
      {"rle", graphics::TBitmap::StaticClass(), "Run length encoded Windows bitmaps"},
      {"ico", graphics::TIcon::StaticClass(), "Windows icons"},
      {"emf", graphics::TMetafile::StaticClass(), "Windows enhanced meta files"},
      {"wmf", graphics::TMetafile::StaticClass(), "Windows metafiles"},
      {"jfif", graphics::TJPEGImage::StaticClass(), "JFIF images"},
      {"jpg", graphics::TJPEGImage::StaticClass(), "JPG images"},
      {"jpeg", graphics::TJPEGImage::StaticClass(), "JPEG images"},
      {"tga", TTargaGraphic::StaticClass(), "Truevision images"},
      {"pcc", TPCXGraphic::StaticClass(), "ZSoft Paintbrush images"},
      {"scr", TPCXGraphic::StaticClass(), "Word 5.x screen capture images"},
      {"rgba", TSGIGraphic::StaticClass(), "SGI true color images with alpha"},
      {"bw", TSGIGraphic::StaticClass(), "SGI black/white images"},
  };
  const auto formats = graphics::TPicture::RegisteredFormats();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension);
    EXPECT_EQ(graphics::TPicture::FindGraphicClass(c.extension), c.graphicClass);
    auto it = std::find_if(formats.begin(), formats.end(),
                           [&](const graphics::TFileFormat& f) { return f.Extension == c.extension; });
    ASSERT_NE(it, formats.end());
    EXPECT_EQ(it->Description, c.description);
  }
}

TEST(FileFormats, FindClassByContentReadsTheHeaderOnly) {
  tk::test::ScratchDir dir;
  struct Case {
    const char* name;
    std::string bytes;
    graphics::TGraphicClass expected;
  };
  const Case cases[] = {
      {"page.pbm", "P4\n16 2\n\xAA\x55\xAA\x55"s, TPPMGraphic::StaticClass()},
      {"page.ppm", "P6\n2 1\n255\n123456", TPPMGraphic::StaticClass()},
      {"misnamed.tif", "P5\n3 3\n255\n123456789", TPPMGraphic::StaticClass()},
      {"registered-but-not-claimed.ppm", "not a portable map at all", nullptr},
      {"short.pbm", "P4\n8 1\n\xAA", nullptr},
      {"empty.ppm", "", nullptr},
      {"bitmap.bmp", "BM" + std::string(60, '\0'), nullptr},  // the toolkit's classes are not asked
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tk::test::WriteFileBytes(dir / c.name, c.bytes);
    EXPECT_EQ(FileFormats().FindClassByContent((dir / c.name).string()), c.expected);
    rtl::TStringStream s(c.bytes);
    EXPECT_EQ(FileFormats().FindClassByStream(s), c.expected);
    EXPECT_EQ(s.Position(), 0);
  }
  EXPECT_THROW(FileFormats().FindClassByContent((dir / "missing.ppm").string()), rtl::EFOpenError);

  // The class-level test on a file name.
  const auto* ppm = static_cast<const TRasterGraphicClassInfo*>(TPPMGraphic::StaticClass());
  EXPECT_TRUE(ppm->CanReadFile((dir / "misnamed.tif").string()));
  EXPECT_FALSE(ppm->CanReadFile((dir / "short.pbm").string()));
  const auto* base = static_cast<const TRasterGraphicClassInfo*>(TRasterGraphic::StaticClass());
  EXPECT_FALSE(base->CanReadFile((dir / "page.ppm").string()));

  // What the converter does with the answer.
  tk::test::WriteFileBytes(dir / "page.pgm", "P2\n2 1\n255\n7 9\n");
  graphics::TGraphicClass c = FileFormats().FindClassByContent((dir / "page.pgm").string());
  ASSERT_NE(c, nullptr);
  std::unique_ptr<graphics::TGraphic> g = c->Create();
  g->LoadFromFile((dir / "page.pgm").string());
  graphics::TPicture picture;
  picture.SetGraphic(g.get());
  EXPECT_EQ(picture.Width(), 2);
  EXPECT_EQ(picture.Bitmap().ScanLine(0)[1], 9);
  EXPECT_STREQ(picture.Graphic()->ClassName(), "TPPMGraphic");
  // And the fallback by extension.
  graphics::TPicture byExtension;
  byExtension.LoadFromFile((dir / "page.pgm").string());
  EXPECT_STREQ(byExtension.Graphic()->ClassName(), "TPPMGraphic");
}

TEST_F(LocalRegistry, ContentTestsRunInRegistrationOrderAndNeverThrow) {
  TFileFormatList list;
  list.AddFileFormat("thr", "Throwing", "", fkRaster, false, TThrowingGraphic::StaticClass());
  list.AddFileFormat("bmp", "Bitmaps", "", fkRaster, false, graphics::TBitmap::StaticClass());
  list.AddFileFormat("ta", "A", "", fkRaster, false, TTagA::StaticClass());
  list.AddFileFormat("tb", "B", "", fkRaster, false, TTagB::StaticClass());
  struct Case {
    std::string bytes;
    graphics::TGraphicClass expected;
  };
  const Case cases[] = {
      {"A123456", TTagA::StaticClass()},
      {"B123456", TTagB::StaticClass()},
      {"*123456", TTagA::StaticClass()},  // both claim it: the first registered wins
      {"C123456", nullptr},
      {"B", TTagB::StaticClass()},  // the throwing test answers no
      {"", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    rtl::TStringStream s("xx" + c.bytes);
    s.SetPosition(2);
    EXPECT_EQ(list.FindClassByStream(s), c.expected);
    EXPECT_EQ(s.Position(), 2);
  }
}

TEST_F(LocalRegistry, RegisterReplaceAndRemove) {
  TFileFormatList list;
  list.AddFileFormat("", "Nothing", "", fkRaster, false, TTagA::StaticClass());
  EXPECT_EQ(list.ClassCount(), 0);

  list.AddFileFormat("ta", "Tag A images", "", fkRaster, false, TTagA::StaticClass());
  list.AddFileFormat("ta2", "", "Second tag A", fkMultiImage | fkRaster, false, TTagA::StaticClass());
  list.AddFileFormat("ta3", "", "", fkRaster, false, TTagA::StaticClass());
  list.AddFileFormat("tb", "Tag B images", "", fkRaster, false, TTagB::StaticClass());
  EXPECT_EQ(list.ClassCount(), 2);
  EXPECT_EQ(list.ClassAt(0).Count, 3);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("ta2"), TTagA::StaticClass());
  // The picture registry gets the individual description, else the common one.
  auto description = [](const std::string& ext) {
    for (const auto& f : graphics::TPicture::RegisteredFormats())
      if (f.Extension == ext) return f.Description;
    return std::string("(none)");
  };
  EXPECT_EQ(description("ta2"), "Second tag A");
  EXPECT_EQ(description("ta3"), "Tag A images");

  // A second registration without replace raises and changes nothing.
  try {
    list.AddFileFormat("TA", "Other", "", fkRaster, false, TTagB::StaticClass());
    ADD_FAILURE();
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Attempt to register TA twice.");
  }
  EXPECT_EQ(list.ExtensionAt(0).ClassEntry->GraphicClass, TTagA::StaticClass());
  EXPECT_EQ(list.ClassAt(0).Description, "Tag A images");

  // With replace, the extension moves to the new class; its own description
  // and kinds stay.
  list.AddFileFormat("ta2", "", "", fkRaster, true, TTagB::StaticClass());
  EXPECT_EQ(list.ExtensionAt(1).ClassEntry->GraphicClass, TTagB::StaticClass());
  EXPECT_EQ(list.ExtensionAt(1).Description, "Second tag A");
  EXPECT_EQ(list.ExtensionAt(1).FileKinds, fkMultiImage | fkRaster);
  EXPECT_EQ(list.ClassAt(0).Count, 2);
  EXPECT_EQ(list.ClassAt(1).Count, 2);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("ta2"), TTagB::StaticClass());

  // Removing one extension keeps the class while others point to it.
  list.RemoveFileFormat("ta3", nullptr);
  EXPECT_EQ(Extensions(list), (std::vector<std::string>{"ta", "ta2", "tb"}));
  EXPECT_EQ(list.IndexOfClass(TTagA::StaticClass()), 0);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("ta"), TTagA::StaticClass());
  list.RemoveFileFormat("never", nullptr);  // not registered: nothing happens
  list.RemoveFileFormat("ta", nullptr);     // the last one takes the class along
  EXPECT_EQ(list.IndexOfClass(TTagA::StaticClass()), -1);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("ta"), nullptr);

  // By class: every extension of it and the class itself.
  list.RemoveFileFormat("", TTagA::StaticClass());  // never registered now: nothing happens
  list.RemoveFileFormat("", TTagB::StaticClass());
  EXPECT_EQ(list.ExtensionCount(), 0);
  EXPECT_EQ(list.ClassCount(), 0);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("tb"), nullptr);
  EXPECT_EQ(graphics::TPicture::FindGraphicClass("ta2"), nullptr);
}

TEST_F(LocalRegistry, RemovingAnExtensionOfTheBitmapKeepsItsOthers) {
  TFileFormatList list;
  RegisterStandardFormats(list);
  list.RemoveFileFormat("rle", nullptr);
  EXPECT_EQ(list.ExtensionAt(list.IndexOfExtension("bmp")).ClassEntry->GraphicClass,
            graphics::TBitmap::StaticClass());
  EXPECT_GE(list.IndexOfExtension("dib"), 0);
  EXPECT_EQ(list.ExtensionAt(list.IndexOfExtension("dib")).ClassEntry->Count, 2);
  // Removing the portable map reader by class takes its three extensions.
  list.RemoveFileFormat("", TPPMGraphic::StaticClass());
  EXPECT_EQ(list.IndexOfExtension("ppm"), -1);
  EXPECT_EQ(list.IndexOfExtension("pgm"), -1);
  EXPECT_EQ(list.IndexOfExtension("pbm"), -1);
  EXPECT_EQ(list.IndexOfClass(TPPMGraphic::StaticClass()), -1);
}

TEST(TRasterGraphic, AssignCopiesTheProperties) {
  TPPMGraphic a;
  rtl::TStringStream s("P5\n3 2\n255\n123456");
  a.LoadFromStream(s);
  a.ImageProperties.RowsPerStrip = {7, 8};
  TPPMGraphic b;
  b.Assign(a);
  EXPECT_EQ(b.Width(), 3);
  EXPECT_EQ(b.ImageProperties.Width, 3u);
  EXPECT_EQ(b.ImageProperties.ColorModel, cmIndexed);
  EXPECT_EQ(b.ImageProperties.RowsPerStrip, (TCardinalArray{7, 8}));
  EXPECT_EQ(b.ScanLine(1)[2], '6');

  graphics::TBitmap plain;
  plain.SetSize(5, 5);
  b.Assign(plain);
  EXPECT_EQ(b.Width(), 5);
  EXPECT_EQ(b.ImageProperties.Width, 3u);  // the record stays
}

// Exposes the base class's size guard.
class TGuardProbe : public TRasterGraphic {
 public:
  using TRasterGraphic::PrepareImage;
  void LoadFromStream(rtl::TStream&) override {}
};

TEST(TRasterGraphic, SizeGuard) {
  struct Case {
    uint32_t width, height;
    graphics::TPixelFormat format;
    std::string error;
    TImageData data = {};
  };
  const std::string invalid = "Cannot load image. Invalid or unexpected TEST image format.";
  const std::string readError = "Stream read error in TEST file.";
  const std::vector<Case> cases = {
      {0, 5, graphics::pf8bit, invalid},
      {5, 0, graphics::pf8bit, invalid},
      {UINT32_MAX, UINT32_MAX, graphics::pf1bit,
       "Cannot load image. The TEST image is too large (4294967295 x 4294967295 pixels)."},
      {0x80000000u, 1, graphics::pf1bit,
       "Cannot load image. The TEST image is too large (2147483648 x 1 pixels)."},
      {70000, 70000, graphics::pf24bit,
       "Cannot load image. The TEST image is too large (70000 x 70000 pixels)."},
      {5, 5, graphics::pfCustom, "Invalid color format in TEST file."},
      {1000, 1000, graphics::pf24bit, ""},
      // The data is judged before the pixel memory, and in its own name.
      {1000, 1000, graphics::pf24bit, readError, {3000001, 3000000}},
      {70000, 70000, graphics::pf24bit, "Stream read error in OTHER file.", {1, 0, "OTHER"}},
      {0, 5, graphics::pf8bit, invalid, {1, 0}},
      {1000, 1000, graphics::pf24bit, "", {3000000, 3000000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    TGuardProbe g;
    std::string error;
    try {
      g.PrepareImage(c.width, c.height, c.format, "TEST", c.data);
    } catch (const EInvalidGraphic& e) {
      error = e.what();
    }
    EXPECT_EQ(error, c.error);
    if (c.error.empty()) {
      EXPECT_EQ(g.Width(), static_cast<int>(c.width));
      EXPECT_EQ(g.PixelFormat(), c.format);
    }
  }
}

TEST(SharedRoutines, Upsample2x) {
  // 2 x 2 plane in a buffer of 4 rows of 4.
  std::vector<uint8_t> plane = {0, 100, 9, 9, 200, 50, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  Upsample2x(2, 2, 4, plane);
  EXPECT_EQ(plane,
            (std::vector<uint8_t>{0, 50, 100, 100, 100, 88, 75, 75, 200, 125, 50, 50, 200, 125, 50, 50}));

  std::vector<uint8_t> one = {40, 0, 0, 0};
  Upsample2x(1, 1, 2, one);
  EXPECT_EQ(one, (std::vector<uint8_t>{40, 40, 40, 40}));

  std::vector<uint8_t> small(7);
  EXPECT_THROW(Upsample2x(2, 2, 2, small), EInvalidGraphic);  // stride too small
  EXPECT_THROW(Upsample2x(2, 2, 4, small), EInvalidGraphic);  // buffer too small
}

TEST(SharedRoutines, SwapsAndPredictors) {
  std::vector<uint8_t> w = {1, 2, 3, 4, 5};
  SwapWords(w, 5);  // stops at the buffer's end
  EXPECT_EQ(w, (std::vector<uint8_t>{2, 1, 4, 3, 5}));
  SwapWords(w, 0);
  EXPECT_EQ(w, (std::vector<uint8_t>{2, 1, 4, 3, 5}));
  std::vector<uint8_t> l = {1, 2, 3, 4, 5, 6, 7, 8};
  SwapLongs(l, 1);
  EXPECT_EQ(l, (std::vector<uint8_t>{4, 3, 2, 1, 5, 6, 7, 8}));
  EXPECT_EQ(SwapLong(0x11223344u), 0x44332211u);

  std::vector<uint8_t> p1 = {10, 1, 1, 250, 9};
  UndoPredictor1(p1, 3);
  EXPECT_EQ(p1, (std::vector<uint8_t>{10, 11, 12, 6, 9}));  // modulo 256
  std::vector<uint8_t> p3 = {1, 2, 3, 1, 1, 1, 1, 1, 1};
  UndoPredictor3(p3, 2);
  EXPECT_EQ(p3, (std::vector<uint8_t>{1, 2, 3, 2, 3, 4, 3, 4, 5}));
  std::vector<uint8_t> p4 = {1, 2, 3, 4, 1, 1, 1, 1};
  UndoPredictor4(p4, 5);  // stops at the buffer's end
  EXPECT_EQ(p4, (std::vector<uint8_t>{1, 2, 3, 4, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace imaging

namespace imaging {
namespace {

// Real files of other formats: no reader that exists claims them, and each
// reader given one raises the library's error instead of misreading it.
TEST(FileFormatsCorpus, OtherFormatsAreRefusedCleanly) {
  TK_REQUIRE_CORPUS();
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tk::test::CorpusDir() / "images")) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().string());
    // Photoshop documents, TIFFs and PNG files have their readers, tested
    // on them in their own tests.
    if (const auto ext = entry.path().extension(); ext == ".psd" || ext == ".tif" || ext == ".png") continue;
    ++files;
    EXPECT_EQ(FileFormats().FindClassByContent(entry.path().string()), nullptr);
    for (int i = 0; i < FileFormats().ClassCount(); ++i) {
      graphics::TGraphicClass c = FileFormats().ClassAt(i).GraphicClass;
      if (!c->InheritsFrom(TRasterGraphic::StaticClass())) continue;
      // Cut files have no signature: any bytes can be rows of one, so only
      // the sweep's "no crash" holds for them.
      if (c == TCUTGraphic::StaticClass()) continue;
      std::unique_ptr<graphics::TGraphic> g = c->Create();
      EXPECT_THROW(g->LoadFromFile(entry.path().string()), rtl::Exception);
    }
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace imaging
