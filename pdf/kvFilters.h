// The four PDF stream filters: Flate, ASCIIHex, ASCII85 and RunLength, each
// encoding or decoding a whole stream or string in memory.
//
// A stream operation always takes the whole source from position 0 (and
// leaves its position at the end); it returns a new memory stream owned by
// the caller, or nullptr where the filter has no such operation. Strings
// are sequences of bytes. Decoding errors raise rtl::Exception with the
// messages below (Flate raises ECompressionError "error").
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "pdf/kvdzlib.h"
#include "platform/rtl/Classes.h"

namespace pdf {

inline constexpr const char* SEndOfDataMarkerWrong = "EndOfData marker is wrong";
inline constexpr const char* SIllegalCharacter = "Illeagal character within stream";
inline constexpr const char* SZInappropriate = "\"z\" found at inappropriate position";
inline constexpr const char* SSingleFinalCharacter = "Single Final Character";
inline constexpr const char* SAscii85GroupTooLarge = "ASCII85 group exceeds 32 bits";
inline constexpr const char* SRLEEndOfDataMarkerWrong = "EndOfData Marker is wrong";
inline constexpr const char* SUnexpectedEndOfFile = "Unexpected EndOfFile found";
inline constexpr const char* SPrematureEndOfData = "Premature EndOfData Marker found";
inline constexpr const char* SRLEDecodedTooLarge = "RunLength data decodes to more than the size limit";

// Decoded Flate or RunLength data above this size is refused: no page of a scanned
// document comes near it, and a small bomb must not exhaust memory.
inline constexpr int64_t kMaxFlateDecodedSize = int64_t{1} << 30;

class TkvFilter {
 public:
  virtual ~TkvFilter() = default;

  virtual std::unique_ptr<rtl::TMemoryStream> EncodeStreamLevel(rtl::TStream& source,
                                                                TkvCompressionLevel level);
  virtual void EncodeStringLevel(const std::string& s, TkvCompressionLevel level, std::string& result);
  virtual std::unique_ptr<rtl::TMemoryStream> EncodeStream(rtl::TStream& source);
  virtual void EncodeString(const std::string& s, std::string& result);
  virtual std::unique_ptr<rtl::TMemoryStream> DecodeStream(rtl::TStream& source) = 0;
  virtual void DecodeString(const std::string& s, std::string& result) = 0;
};

class TkvFlateFilter : public TkvFilter {
 public:
  std::unique_ptr<rtl::TMemoryStream> EncodeStreamLevel(rtl::TStream& source,
                                                        TkvCompressionLevel level) override;
  void EncodeStringLevel(const std::string& s, TkvCompressionLevel level, std::string& result) override;
  std::unique_ptr<rtl::TMemoryStream> DecodeStream(rtl::TStream& source) override;
  void DecodeString(const std::string& s, std::string& result) override;
};

class TkvAsciiHexFilter : public TkvFilter {
 public:
  std::unique_ptr<rtl::TMemoryStream> EncodeStream(rtl::TStream& source) override;
  void EncodeString(const std::string& s, std::string& result) override;
  std::unique_ptr<rtl::TMemoryStream> DecodeStream(rtl::TStream& source) override;
  void DecodeString(const std::string& s, std::string& result) override;
};

class TkvAscii85Filter : public TkvFilter {
 public:
  std::unique_ptr<rtl::TMemoryStream> EncodeStream(rtl::TStream& source) override;
  void EncodeString(const std::string& s, std::string& result) override;
  std::unique_ptr<rtl::TMemoryStream> DecodeStream(rtl::TStream& source) override;
  void DecodeString(const std::string& s, std::string& result) override;
};

class TkvRLEFilter : public TkvFilter {
 public:
  std::unique_ptr<rtl::TMemoryStream> EncodeStream(rtl::TStream& source) override;
  void EncodeString(const std::string& s, std::string& result) override;
  std::unique_ptr<rtl::TMemoryStream> DecodeStream(rtl::TStream& source) override;
  void DecodeString(const std::string& s, std::string& result) override;
};

}  // namespace pdf
