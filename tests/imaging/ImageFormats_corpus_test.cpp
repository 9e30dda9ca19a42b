// Real images from other projects' test suites, through the library: every
// file gives an image or the library's error.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "imaging/ImageFormats.h"
#include "support/TestSupport.h"

namespace imaging {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusImages() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(tk::test::CorpusDir() / "images"))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// A loaded graphic must hand over sound pixels: a bitmap of its size whose
// every row can be read.
void ExpectSoundImage(const graphics::TGraphic& g) {
  graphics::TBitmap b;
  b.Assign(g);
  EXPECT_GT(b.Width(), 0);
  EXPECT_GT(b.Height(), 0);
  EXPECT_EQ(b.Width(), g.Width());
  EXPECT_EQ(b.Height(), g.Height());
  if (b.Width() > 0 && b.Height() > 0) {
    (void)b.Pixel(b.Width() - 1, b.Height() - 1);
    (void)b.Pixel(0, 0);
  }
}

// Runs a load; the library's error is an answer, anything else a failure.
template <typename F>
void LoadOrLibraryError(const std::string& what, F load) {
  try {
    load();
  } catch (const rtl::Exception&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": " << typeid(e).name() << ": " << e.what();
  } catch (...) {
    ADD_FAILURE() << what << ": unknown exception";
  }
}

// Each file the way the converter opens it (the reader that claims the
// header, else the picture registry by extension), then its bytes through
// every registered class, from the start of a stream and from within one.
TEST(ImageFormatsCorpus, EveryFileGivesAnImageOrTheLibrarysError) {
  TK_REQUIRE_CORPUS();
  const auto started = std::chrono::steady_clock::now();
  const std::vector<fs::path> files = CorpusImages();
  ASSERT_FALSE(files.empty());
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.string());
    const auto fileStarted = std::chrono::steady_clock::now();
    LoadOrLibraryError("converter path", [&] {
      std::unique_ptr<graphics::TGraphic> graphic;
      if (graphics::TGraphicClass c = FileFormats().FindClassByContent(file.string())) {
        graphic = c->Create();
        graphic->LoadFromFile(file.string());
      } else {
        graphics::TPicture picture;
        picture.LoadFromFile(file.string());
        ASSERT_NE(picture.Graphic(), nullptr);
        graphic = picture.Graphic()->NewInstance();
        graphic->Assign(*picture.Graphic());
      }
      ExpectSoundImage(*graphic);
    });
    const std::string bytes = tk::test::ReadFileBytes(file);
    for (int i = 0; i < FileFormats().ClassCount(); ++i) {
      const graphics::TGraphicClass c = FileFormats().ClassAt(i).GraphicClass;
      for (const size_t offset : {size_t{0}, size_t{3}}) {
        LoadOrLibraryError(std::string(c->ClassName) + " at " + std::to_string(offset), [&] {
          rtl::TStringStream s("xyz" + bytes);
          s.SetPosition(static_cast<int64_t>(3 - offset));
          std::unique_ptr<graphics::TGraphic> g = c->Create();
          g->LoadFromStream(s);
          ExpectSoundImage(*g);
        });
      }
    }
    const auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - fileStarted).count();
    // Speed is measured in the bench, not asserted here; a file this slow is
    // named for a look (a hang ends at the test's time limit).
    if (seconds > 5.0) std::cerr << "slow load (" << seconds << " s): " << file.string() << "\n";
  }
  const auto total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  RecordProperty("seconds", std::to_string(total));
}

}  // namespace
}  // namespace imaging
