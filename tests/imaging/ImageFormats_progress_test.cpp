// The progress convention that every reader follows: a starting note with
// the stage's text, one running note per finished row, an ending note per
// stage. Each reader is loaded from a small file and the notes it sends are
// written down as a trail and compared with its stages.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/AutodeskGraphic.h"
#include "imaging/CUTGraphic.h"
#include "imaging/PCDGraphic.h"
#include "imaging/PCXGraphic.h"
#include "imaging/PNGGraphic.h"
#include "imaging/PSDGraphic.h"
#include "imaging/PSPGraphic.h"
#include "imaging/RLAGraphic.h"
#include "imaging/SGIGraphic.h"
#include "imaging/TIFFGraphic.h"
#include "imaging/TargaGraphic.h"
#include "support/ImageReaders.h"

namespace imaging {
namespace {

// The notes as text: a starting note is its message, an ending note "|",
// and a run of n running notes "rn" (redraw) or "sn" (no redraw). Running
// notes after the first of a run must move the rectangle down one row
// (redraw) or keep it (no redraw).
struct TTrail {
  std::string text;
  char run = 0;
  int count = 0;
  graphics::TRect last;
  bool rectsInStep = true;

  void Flush() {
    if (run) text += std::string(text.empty() ? "" : " ") + run + std::to_string(count);
    run = 0;
    count = 0;
  }
  void Note(graphics::TProgressStage stage, bool redraw, const graphics::TRect& r,
            const std::string& message) {
    if (stage == graphics::psRunning) {
      const char kind = redraw ? 'r' : 's';
      if (run == kind) {
        const int step = redraw ? 1 : 0;
        if (r.Top != last.Top + step || r.Bottom != last.Bottom + step) rectsInStep = false;
      } else {
        Flush();
        run = kind;
      }
      ++count;
      last = r;
      return;
    }
    Flush();
    text += std::string(text.empty() ? "" : " ") + (stage == graphics::psStarting ? message : "|");
  }
};

template <typename G>
TTrail TrailOf(const std::string& bytes) {
  TTrail trail;
  G g;
  g.OnProgress = [&](graphics::TGraphic*, graphics::TProgressStage stage, uint8_t, bool redraw,
                     const graphics::TRect& r,
                     const std::string& message) { trail.Note(stage, redraw, r, message); };
  rtl::TStringStream s(bytes);
  g.LoadFromStream(s);
  trail.Flush();
  EXPECT_GT(g.Width(), 0);
  return trail;
}

void Put(std::string& s, uint32_t v, int bytes, bool bigEndian = false) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * (bigEndian ? bytes - 1 - i : i)) & 0xFF);
}

// 3 x 2 pixels of palette index 1.
std::string AutodeskFile() {
  std::string f;
  Put(f, 0x9119, 2);
  Put(f, 3, 2);
  Put(f, 2, 2);
  f.resize(10, '\0');
  f += '\x08';
  f.resize(32 + 768, '\0');
  return f + std::string(6, '\x01');
}

// 3 x 2 pixels, each row one run.
std::string CUTFile() {
  std::string f;
  Put(f, 3, 2);
  Put(f, 2, 2);
  Put(f, 0, 2);
  for (int y = 0; y < 2; ++y) {
    Put(f, 3, 2);
    f += "\x83\x07";
    f += '\0';
  }
  return f;
}

// An image pack of grey pixels at the base resolution.
std::string PCDFile() {
  std::string f(96 * 2048 + 768 * 512 * 3 / 2, '\x80');
  f.replace(0, 2048 + 3, std::string(2048, '\0') + "PCD");
  f[3586] = 0;
  return f;
}

// 3 x 2 RGB pixels, each channel of each row one run.
std::string RLAFile() {
  std::string f(740, '\0');
  auto at16 = [&](size_t at, uint32_t v) {
    f[at] = static_cast<char>(v >> 8);
    f[at + 1] = static_cast<char>(v);
  };
  at16(10, 2);  // active window right
  at16(14, 1);  // active window top
  at16(20, 3);  // channels
  at16(26, 0xFFFE);
  f.replace(580, 3, "rgb");
  at16(658, 8);
  const size_t rowBytes = 3 * 4;
  for (uint32_t y = 0; y < 2; ++y) Put(f, static_cast<uint32_t>(740 + 8 + y * rowBytes), 4, true);
  for (int y = 0; y < 2; ++y)
    for (int c = 0; c < 3; ++c) f += std::string("\x00\x02\x02", 3) + static_cast<char>(0x40 * c);
  return f;
}

// A version 3 file with one raw 8-bit grey layer of 3 x 2 pixels.
std::string PSPFile() {
  auto block = [](uint16_t id, const std::string& contents) {
    std::string b("~BK\0", 4);
    Put(b, id, 2);
    Put(b, static_cast<uint32_t>(contents.size()), 4);
    Put(b, static_cast<uint32_t>(contents.size()), 4);
    return b + contents;
  };
  std::string f = "Paint Shop Pro Image File";
  f.resize(32, '\0');
  Put(f, 3, 2);
  Put(f, 0, 2);
  std::string attributes;
  Put(attributes, 3, 4);
  Put(attributes, 2, 4);
  attributes.resize(19, '\0');
  Put(attributes, 8, 2);  // bits
  attributes.resize(27, '\0');
  attributes += '\x01';  // grey
  attributes.resize(42, '\0');
  std::string layer(256 + 115, '\0');
  Put(layer, 1, 2);  // bitmaps
  Put(layer, 1, 2);  // channels
  std::string channel;
  Put(channel, 6, 4);
  Put(channel, 6, 4);
  Put(channel, 0, 2);
  Put(channel, 0, 2);  // composite
  layer += block(5, channel + "\x10\x20\x30\x40\x50\x60");
  return f + block(0, attributes) + block(3, block(4, layer));
}

// A 3 x 2 colour image written by ImageMagick in the given format.
std::string ImageMagickFile(const tk::test::ScratchDir& dir, const std::string& format) {
  const std::string ppm =
      std::string("P6\n3 2\n255\n") + std::string(
                                          "\x10\x20\x30\x40\x50\x60\x70\x80\x90\xA0\xB0\xC0"
                                          "\xD0\xE0\xF0\x00\x11\x22",
                                          18);
  tk::test::WriteFileBytes(dir / "in.ppm", ppm);
  const std::string out = (dir / ("out." + format)).string();
  const tk::test::ToolResult r = tk::test::RunTool(
      {"convert-im6.q16", (dir / "in.ppm").string(), "-compress", "none", format + ":" + out});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return tk::test::ReadFileBytes(out);
}

TEST(ReaderProgress, FilesMadeHere) {
  struct Case {
    const char* name;
    std::function<TTrail()> load;
    const char* trail;
  };
  const Case cases[] = {
      {"Autodesk", [] { return TrailOf<TAutodeskGraphic>(AutodeskFile()); }, "Transfering... r2 |"},
      {"Dr. Halo", [] { return TrailOf<TCUTGraphic>(CUTFile()); }, "Transfering... r2 |"},
      {"RLA", [] { return TrailOf<TRLAGraphic>(RLAFile()); }, "Transfering... r2 |"},
      {"PSP", [] { return TrailOf<TPSPGraphic>(PSPFile()); },
       "Preparing... | Loading data... | Transfering... r2 |"},
      {"Photo-CD", [] { return TrailOf<TPCDGraphic>(PCDFile()); },
       "Preparing... | Loading data... s256 | Upsampling... s2 | Transfering... r512 |"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TTrail trail = c.load();
    EXPECT_EQ(trail.text, c.trail);
    EXPECT_TRUE(trail.rectsInStep);
  }
}

TEST(ReaderProgress, FilesWrittenByImageMagick) {
  TK_REQUIRE_TOOL("convert-im6.q16");
  tk::test::ScratchDir dir;
  struct Case {
    const char* format;
    TTrail (*load)(const std::string&);
  };
  const Case cases[] = {
      {"tga", &TrailOf<TTargaGraphic>}, {"tiff", &TrailOf<TTIFFGraphic>}, {"png", &TrailOf<TPNGGraphic>},
      {"sgi", &TrailOf<TSGIGraphic>},   {"pcx", &TrailOf<TPCXGraphic>},   {"psd", &TrailOf<TPSDGraphic>},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const TTrail trail = c.load(ImageMagickFile(dir, c.format));
    EXPECT_EQ(trail.text, "Preparing... | Transfering... r2 |");
    EXPECT_TRUE(trail.rectsInStep);
  }
}

}  // namespace
}  // namespace imaging
