// JPEG images over libjpeg: baseline and progressive, grey, colour and CMYK.
//
// A TJPEGImage keeps the file's bytes (SaveToStream writes them back as they
// were read) and the bitmap decoded from them at load time: 8 bits per pixel
// with a grey ramp for grey files, 24 bits for colour and CMYK files.
// libjpeg's errors end the load with EJPEG; its warnings (damaged but
// decodable data) go to OnWarning.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/graphics/Graphics.h"

namespace graphics {

RTL_DECLARE_EXCEPTION(EJPEG, EInvalidGraphic);

class TJPEGImage;
using TJPEGWarningEvent = std::function<void(TJPEGImage* sender, const std::string& message)>;

class TJPEGImage : public TGraphic {
 public:
  // A progressive file may hold any number of scans, each a pass over the
  // whole image; more than this is taken as a damaged (or hostile) file.
  static constexpr int kMaxScans = 500;
  // Warnings delivered per load; the rest are counted into the last one.
  static constexpr int kMaxWarnings = 50;

  TJPEGImage();
  ~TJPEGImage() override;

  static TGraphicClass StaticClass();
  TGraphicClass ClassType() const override { return StaticClass(); }

  int Width() const override { return bitmap_.Width(); }
  int Height() const override { return bitmap_.Height(); }
  // A JPEG image has the size its data gives it: EInvalidGraphicOperation.
  void SetWidth(int value) override;
  void SetHeight(int value) override;
  bool Empty() const override { return data_.empty(); }

  // Reads the stream from its position to its end and decodes it. On an
  // error the image keeps what it held before.
  void LoadFromStream(rtl::TStream& stream) override;
  void SaveToStream(rtl::TStream& stream) const override;
  void Assign(const TGraphic& source) override;
  // A bitmap receives the decoded pixels.
  void AssignTo(TGraphic& dest) const override;

  // The decoded pixels (empty before a load).
  const TBitmap& Bitmap() const { return bitmap_; }
  bool Grayscale() const { return grayscale_; }
  bool ProgressiveEncoding() const { return progressive_; }
  // What the data holds after the image's end marker (nothing, in most
  // files).
  std::string TrailingData() const {
    return std::string(data_.begin() + static_cast<std::ptrdiff_t>(std::min(end_, data_.size())),
                       data_.end());
  }

  TJPEGWarningEvent OnWarning;

  // How the file holds its samples. A JPEG file of its own follows the Adobe
  // habit: a CMYK file with an Adobe marker stores its inks inverted (0 =
  // full ink), and grey and colour are as stored. One taken out of a PDF
  // holds them as the image's /Decode array says, marker or not: as stored,
  // or inverted (grey and colour too) when /Decode turns them round.
  enum TSampleStorage { ssByAdobeMarker, ssAsStored, ssInverted };
  TSampleStorage SampleStorage = ssByAdobeMarker;

 private:
  std::vector<uint8_t> data_;
  TBitmap bitmap_;
  bool grayscale_ = false;
  bool progressive_ = false;
  size_t end_ = 0;
};

}  // namespace graphics
