// The TrueType font file as the font unit needs it: the table directory,
// the Unicode character map, the advance widths and a reduced copy of the
// file that keeps only some glyphs' outlines.
//
// A font file is untrusted input: every offset, length and count is checked
// against the bytes that are there, and a file that cannot be read as a
// TrueType font raises ETrueTypeError. The object owns a copy of the bytes.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rtl/SysUtils.h"

namespace pdf {

using rtl::Exception;
RTL_DECLARE_EXCEPTION(ETrueTypeError, Exception);

// The 32-bit sum, modulo 2^32, of the big-endian words of data, the last
// word completed with zero bytes.
uint32_t TableChecksum(std::string_view data);

struct TkvCmapPair {
  uint16_t Glyph = 0;
  uint16_t Unicode = 0;
};

class TkvTrueTypeFile {
 public:
  // A font file holds far fewer tables than this; more is taken as damage.
  static constexpr int kMaxTables = 256;
  // Composite glyphs nest a few levels at most; deeper is a loop or damage.
  static constexpr int kMaxCompositeDepth = 16;
  // The tables a reduced file keeps, in directory (tag) order.
  static constexpr const char* kKeptTables[10] = {"cmap", "cvt ", "fpgm", "glyf", "head",
                                                  "hhea", "hmtx", "loca", "maxp", "prep"};

  struct TTableEntry {
    std::string Tag;
    uint32_t Checksum = 0;
    uint32_t Offset = 0;
    uint32_t Length = 0;
  };

  // Reads and checks the table directory and the head, maxp and loca
  // bounds. A collection or a font without TrueType outlines raises.
  explicit TkvTrueTypeFile(std::string data);

  const std::string& Data() const { return data_; }
  const std::vector<TTableEntry>& Tables() const { return tables_; }
  // The table's bytes; empty when the file has no such table.
  std::string_view Table(std::string_view tag) const;
  uint16_t GlyphCount() const { return glyphCount_; }
  uint16_t UnitsPerEm() const { return unitsPerEm_; }

  // The pairs of the (3, 1) format 4 subtable, in segment order: one per
  // code, codes that map to the missing glyph or to a glyph the font does
  // not have left out. Empty when the font has no such subtable.
  std::vector<TkvCmapPair> ReadUnicodeCmap() const;
  // Advance widths in 1/1000 em for every glyph; glyphs past the horizontal
  // metrics take the last one's advance, as the format defines.
  std::vector<int32_t> ReadGlyphWidths() const;
  // The glyph ids a glyph's outline needs: itself and, for a composite,
  // its components (transitively). Ids past the glyph count are ignored.
  std::set<uint16_t> WithComponents(const std::set<uint16_t>& glyphs) const;
  // A font file of the kept tables present, with the outlines of glyph 0
  // and of glyphs (and their components) only; every other glyph is empty.
  std::string Subset(const std::set<uint16_t>& glyphs) const;

 private:
  std::string_view Glyph(uint16_t id) const;

  std::string data_;
  std::vector<TTableEntry> tables_;
  uint16_t glyphCount_ = 0;
  uint16_t unitsPerEm_ = 0;
  bool longLoca_ = false;
};

}  // namespace pdf
