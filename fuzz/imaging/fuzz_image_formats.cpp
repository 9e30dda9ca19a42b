// The format registry's content lookup and every registered reader on
// arbitrary bytes: an image or EInvalidGraphic (or another error of the
// library's family), never a crash, a hang or an unbounded allocation.
#include <cstddef>
#include <cstdint>

#include "imaging/ImageFormats.h"

namespace {

void LoadWith(graphics::TGraphicClass c, rtl::TStream& stream) {
  if (!c->Create) return;
  stream.SetPosition(0);
  std::unique_ptr<graphics::TGraphic> g = c->Create();
  try {
    g->LoadFromStream(stream);
    auto* bitmap = dynamic_cast<graphics::TBitmap*>(g.get());
    if (bitmap && !bitmap->Empty()) bitmap->SetPixelFormat(graphics::pf24bit);
  } catch (const rtl::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Keep a single input cheap; the limit itself is tested elsewhere.
  graphics::TBitmap::SetPixelMemoryLimit(64 << 20);
  rtl::TMemoryStream stream;
  stream.WriteBuffer(data, static_cast<int64_t>(size));
  stream.SetPosition(0);

  const imaging::TFileFormatList& formats = imaging::FileFormats();
  graphics::TGraphicClass found = formats.FindClassByStream(stream);
  if (stream.Position() != 0) __builtin_trap();  // header tests must put the stream back
  if (found) LoadWith(found, stream);

  // Every reader also meets what its own header test would refuse.
  const graphics::TGraphicClass raster = imaging::TRasterGraphic::StaticClass();
  for (int i = 0; i < formats.ClassCount(); ++i) {
    graphics::TGraphicClass c = formats.ClassAt(i).GraphicClass;
    if (c != found && c->InheritsFrom(raster)) LoadWith(c, stream);
  }
  return 0;
}
