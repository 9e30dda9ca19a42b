#include "converter/ImageKit6.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/forms/ExtCtrls.h"
#include "support/TestSupport.h"

namespace converter {
namespace {

namespace fs = std::filesystem;

class ImageKit6 : public ::testing::Test {
 protected:
  void TearDown() override {
    UnbindImagingLibrary();
    rtl::SetExecutableFileName("");
  }
};

// Every entry point raises EImagingLibraryError whose message contains what.
void ExpectEveryCallRaises(const std::string& what) {
  struct Call {
    const char* name;
    std::function<void()> call;
  } calls[] = {
      {"IKGetImageFromHdc", [] { IKGetImageFromHdc(nullptr, 1, 1, 24); }},
      {"IKSetDpi", [] { IKSetDpi(1, 200, 200); }},
      {"IKTiffFileSave", [] { IKTiffFileSave("x.tif", 1, 5, 0, -1, "", 0, 0, "", "", ""); }},
      {"IKFreeMemory", [] { IKFreeMemory(1); }},
  };
  for (const Call& c : calls) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE() << "no error";
    } catch (const EImagingLibraryError& e) {
      EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.name), std::string::npos) << e.what();
    }
  }
}

TEST_F(ImageKit6, AppendsPagesThroughTheBoundLibrary) {
  TK_REQUIRE_TOOL("tiffinfo");
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / TK_IMAGEKIT_LIBRARY)) << "build the imagekit target first";
  // Bound from the executable's folder, as the program does.
  rtl::SetExecutableFileName((tk::test::RunDir() / "tarnwick").string());
  BindImagingLibrary();
  ASSERT_TRUE(ImagingLibraryBound()) << ImagingLibraryError();
  EXPECT_EQ(ImagingLibraryError(), "");

  tk::test::ScratchDir dir;
  const std::string tiff = (dir / "$$temp$$.tif").string();
  forms::TImage image(nullptr);
  graphics::TBitmap& b = image.Picture().Bitmap();
  b.SetSize(20, 10);
  for (int page = 0; page < 2; ++page) {
    TIKImage handle =
        IKGetImageFromHdc(image.Canvas().Handle(), image.Picture().Width(), image.Picture().Height(), 8);
    ASSERT_NE(handle, 0);
    EXPECT_EQ(IKSetDpi(handle, 150, 150), 1);
    EXPECT_EQ(IKTiffFileSave(tiff, handle, 5, 0, -1, "", 0, 0, "", "", ""), 1);
    EXPECT_EQ(IKFreeMemory(handle), 1);
  }
  auto info = tk::test::RunTool({"tiffinfo", tiff});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  size_t pages = 0;
  for (size_t at = 0; (at = info.out.find("TIFF Directory at", at)) != std::string::npos; ++at) ++pages;
  EXPECT_EQ(pages, 2u);
  // A failed append is reported, not hidden.
  EXPECT_EQ(IKTiffFileSave((dir / "no" / "such.tif").string(), 12345, 5, 0, -1, "", 0, 0, "", "", ""), 0);
}

TEST_F(ImageKit6, MissingLibraryRaisesAtFirstUse) {
  ExpectEveryCallRaises("not loaded");  // before any binding
  tk::test::ScratchDir empty;
  EXPECT_NO_THROW(BindImagingLibrary(empty.path().string()));
  EXPECT_FALSE(ImagingLibraryBound());
  EXPECT_NE(ImagingLibraryError().find(TK_IMAGEKIT_LIBRARY), std::string::npos) << ImagingLibraryError();
  ExpectEveryCallRaises((empty.path() / TK_IMAGEKIT_LIBRARY).string());
}

TEST_F(ImageKit6, MissingEntryPointRaisesAtFirstUse) {
  // A real shared library that is not ours: it loads, but has none of the
  // four entry points.
  fs::path stranger;
  for (const char* p : {"/lib/x86_64-linux-gnu/libz.so.1", "/usr/lib/x86_64-linux-gnu/libz.so.1"})
    if (fs::exists(p)) stranger = p;
  if (stranger.empty()) GTEST_SKIP() << "no libz.so.1 to stand in for a foreign library";
  tk::test::ScratchDir dir;
  fs::copy_file(stranger, dir / TK_IMAGEKIT_LIBRARY);
  BindImagingLibrary(dir.path().string());
  EXPECT_FALSE(ImagingLibraryBound());
  EXPECT_NE(ImagingLibraryError().find("has no entry point IKGetImageFromHdc"), std::string::npos)
      << ImagingLibraryError();
  ExpectEveryCallRaises("has no entry point");
}

TEST_F(ImageKit6, UnbindReleasesTheEntryPoints) {
  ASSERT_TRUE(fs::exists(tk::test::RunDir() / TK_IMAGEKIT_LIBRARY));
  BindImagingLibrary(tk::test::RunDir().string());
  ASSERT_TRUE(ImagingLibraryBound()) << ImagingLibraryError();
  UnbindImagingLibrary();
  EXPECT_FALSE(ImagingLibraryBound());
  ExpectEveryCallRaises("not loaded");
}

}  // namespace
}  // namespace converter
