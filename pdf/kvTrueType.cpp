#include "pdf/kvTrueType.h"

#include <algorithm>
#include <bitset>
#include <memory>

namespace pdf {

namespace {

uint16_t U16(std::string_view d, size_t at) {
  if (at > d.size() || d.size() - at < 2) throw ETrueTypeError("Font data ends inside a table");
  return static_cast<uint16_t>((static_cast<uint8_t>(d[at]) << 8) | static_cast<uint8_t>(d[at + 1]));
}

uint32_t U32(std::string_view d, size_t at) {
  return (uint32_t{U16(d, at)} << 16) | U16(d, at + 2);
}

void Put16(std::string& out, uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

void Put32(std::string& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v & 0xFFFF));
}

void Set16(std::string& out, size_t at, uint16_t v) {
  out[at] = static_cast<char>(v >> 8);
  out[at + 1] = static_cast<char>(v & 0xFF);
}

void Set32(std::string& out, size_t at, uint32_t v) {
  Set16(out, at, static_cast<uint16_t>(v >> 16));
  Set16(out, at + 2, static_cast<uint16_t>(v & 0xFFFF));
}

void PadTo(std::string& out, size_t multiple) {
  while (out.size() % multiple) out.push_back('\0');
}

// Flags of a composite glyph's component record.
constexpr uint16_t kArgsAreWords = 0x0001;
constexpr uint16_t kHaveScale = 0x0008;
constexpr uint16_t kMoreComponents = 0x0020;
constexpr uint16_t kHaveXYScale = 0x0040;
constexpr uint16_t kHaveTwoByTwo = 0x0080;

// The glyph ids a composite glyph names directly.
std::vector<uint16_t> ComponentsOf(std::string_view glyph) {
  std::vector<uint16_t> out;
  if (glyph.size() < 10 || static_cast<int16_t>(U16(glyph, 0)) >= 0) return out;
  size_t at = 10;
  uint16_t flags = 0;
  do {
    flags = U16(glyph, at);
    out.push_back(U16(glyph, at + 2));
    at += 4 + ((flags & kArgsAreWords) ? 4 : 2);
    if (flags & kHaveScale)
      at += 2;
    else if (flags & kHaveXYScale)
      at += 4;
    else if (flags & kHaveTwoByTwo)
      at += 8;
  } while ((flags & kMoreComponents) && at < glyph.size());
  return out;
}

}  // namespace

uint32_t TableChecksum(std::string_view data) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 4 <= data.size(); i += 4) sum += U32(data, i);
  if (i < data.size()) {
    uint32_t last = 0;
    for (size_t k = 0; k < 4; ++k)
      last = (last << 8) | (i + k < data.size() ? static_cast<uint8_t>(data[i + k]) : 0u);
    sum += last;
  }
  return sum;
}

TkvTrueTypeFile::TkvTrueTypeFile(std::string data) : data_(std::move(data)) {
  const std::string_view d(data_);
  const uint32_t version = U32(d, 0);
  if (version != 0x00010000 && version != 0x74727565 /* 'true' */)
    throw ETrueTypeError("Not a TrueType font file");
  const uint16_t count = U16(d, 4);
  if (count == 0 || count > kMaxTables) throw ETrueTypeError("Font table directory is damaged");
  if (12 + size_t{count} * 16 > d.size())
    throw ETrueTypeError("Font table directory runs past the end of the file");
  for (uint16_t i = 0; i < count; ++i) {
    const size_t at = 12 + size_t{i} * 16;
    TTableEntry e{std::string(d.substr(at, 4)), U32(d, at + 4), U32(d, at + 8), U32(d, at + 12)};
    if (e.Offset > d.size() || e.Length > d.size() - e.Offset)
      throw ETrueTypeError("Font table " + e.Tag + " lies past the end of the file");
    tables_.push_back(std::move(e));
  }
  const std::string_view head = Table("head"), maxp = Table("maxp");
  if (head.size() < 54 || maxp.size() < 6) throw ETrueTypeError("Font has no usable head or maxp table");
  unitsPerEm_ = U16(head, 18);
  // The format allows 16 to 16384; anything else would scale widths to
  // nonsense (or divide by zero).
  if (unitsPerEm_ < 16 || unitsPerEm_ > 16384) throw ETrueTypeError("Font has an invalid units per em");
  longLoca_ = U16(head, 50) == 1;
  glyphCount_ = U16(maxp, 4);
}

std::string_view TkvTrueTypeFile::Table(std::string_view tag) const {
  for (const auto& t : tables_)
    if (t.Tag == tag) return std::string_view(data_).substr(t.Offset, t.Length);
  return {};
}

std::vector<TkvCmapPair> TkvTrueTypeFile::ReadUnicodeCmap() const {
  std::vector<TkvCmapPair> pairs;
  const std::string_view cmap = Table("cmap");
  if (cmap.size() < 4) return pairs;
  const uint16_t subtables = U16(cmap, 2);
  std::string_view sub;
  for (uint16_t i = 0; i < subtables; ++i) {
    const size_t rec = 4 + size_t{i} * 8;
    if (rec + 8 > cmap.size()) break;
    if (U16(cmap, rec) != 3 || U16(cmap, rec + 2) != 1) continue;
    const uint32_t off = U32(cmap, rec + 4);
    if (off + size_t{4} > cmap.size() || U16(cmap, off) != 4) continue;
    sub = cmap.substr(off);
    // A subtable's own length bounds its arrays when it is sane.
    sub = sub.substr(0, std::max<size_t>(U16(sub, 2), 14));
    break;
  }
  if (sub.size() < 14) return pairs;
  const size_t segCount = U16(sub, 6) / 2;
  const size_t ends = 14, starts = ends + segCount * 2 + 2, deltas = starts + segCount * 2,
               ranges = deltas + segCount * 2;
  if (segCount == 0 || ranges + segCount * 2 > sub.size()) return pairs;
  // Each code maps once: segments that overlap an earlier one are clipped,
  // so a damaged table cannot make the walk longer than the code space.
  uint32_t nextFree = 0;
  for (size_t s = 0; s < segCount; ++s) {
    const uint32_t end = U16(sub, ends + s * 2);
    const uint32_t start = std::max<uint32_t>(U16(sub, starts + s * 2), nextFree);
    const uint16_t delta = U16(sub, deltas + s * 2);
    const uint16_t rangeOffset = U16(sub, ranges + s * 2);
    if (end < start) continue;
    nextFree = end + 1;
    for (uint32_t code = start; code <= end; ++code) {
      if (code == 0xFFFF) break;
      uint32_t glyph = 0;
      if (rangeOffset == 0) {
        glyph = (code + delta) & 0xFFFF;
      } else {
        const size_t at = ranges + s * 2 + rangeOffset + (code - U16(sub, starts + s * 2)) * 2;
        if (at + 2 > sub.size()) continue;
        const uint16_t entry = U16(sub, at);
        if (entry == 0) continue;
        glyph = (entry + delta) & 0xFFFF;
      }
      if (glyph == 0 || glyph >= glyphCount_) continue;
      pairs.push_back({static_cast<uint16_t>(glyph), static_cast<uint16_t>(code)});
    }
  }
  return pairs;
}

std::vector<int32_t> TkvTrueTypeFile::ReadGlyphWidths() const {
  const std::string_view hhea = Table("hhea"), hmtx = Table("hmtx");
  if (hhea.size() < 36) throw ETrueTypeError("Font has no usable hhea table");
  size_t metrics = std::min<size_t>(U16(hhea, 34), glyphCount_);
  metrics = std::min(metrics, hmtx.size() / 4);
  std::vector<int32_t> widths;
  widths.reserve(glyphCount_);
  int32_t last = 0;
  for (size_t g = 0; g < glyphCount_; ++g) {
    if (g < metrics) last = static_cast<int32_t>(U16(hmtx, g * 4) * 1000 / unitsPerEm_);
    widths.push_back(last);
  }
  return widths;
}

std::string_view TkvTrueTypeFile::Glyph(uint16_t id) const {
  const std::string_view loca = Table("loca"), glyf = Table("glyf");
  if (id >= glyphCount_) return {};
  size_t from = 0, to = 0;
  if (longLoca_) {
    if ((size_t{id} + 2) * 4 > loca.size()) return {};
    from = U32(loca, size_t{id} * 4);
    to = U32(loca, size_t{id} * 4 + 4);
  } else {
    if ((size_t{id} + 2) * 2 > loca.size()) return {};
    from = size_t{U16(loca, size_t{id} * 2)} * 2;
    to = size_t{U16(loca, size_t{id} * 2 + 2)} * 2;
  }
  // An outline outside the glyph table, or running backwards, is damage:
  // the glyph is taken as empty rather than read from elsewhere.
  if (from >= to || to > glyf.size()) return {};
  return glyf.substr(from, to - from);
}

std::set<uint16_t> TkvTrueTypeFile::WithComponents(const std::set<uint16_t>& glyphs) const {
  std::set<uint16_t> out;
  std::vector<std::pair<uint16_t, int>> work;
  for (uint16_t g : glyphs)
    if (g < glyphCount_) work.emplace_back(g, 0);
  while (!work.empty()) {
    const auto [g, depth] = work.back();
    work.pop_back();
    if (!out.insert(g).second) continue;
    if (depth >= kMaxCompositeDepth) continue;
    for (uint16_t c : ComponentsOf(Glyph(g)))
      if (c < glyphCount_ && !out.count(c)) work.emplace_back(c, depth + 1);
  }
  return out;
}

std::string TkvTrueTypeFile::Subset(const std::set<uint16_t>& glyphs) const {
  for (const char* required : {"glyf", "head", "hhea", "hmtx", "loca", "maxp"})
    if (Table(required).empty()) throw ETrueTypeError(std::string("Font has no ") + required + " table");
  std::set<uint16_t> keep = glyphs;
  keep.insert(0);  // the missing-glyph mark is always drawn from glyph 0
  keep = WithComponents(keep);

  // Each outline of a sound font is its own stretch of the glyph table, so
  // the kept ones, padded, cannot add up to more than it. A damaged loca
  // can point many glyphs at the same bytes, which would be copied once for
  // every one of them.
  const size_t most = Table("glyf").size() + 3 * size_t{glyphCount_};
  std::string glyf;
  std::vector<size_t> offsets;
  offsets.reserve(size_t{glyphCount_} + 1);
  for (uint32_t g = 0; g < glyphCount_; ++g) {
    offsets.push_back(glyf.size());
    if (keep.count(static_cast<uint16_t>(g))) {
      glyf.append(Glyph(static_cast<uint16_t>(g)));
      PadTo(glyf, 4);
      if (glyf.size() > most) throw ETrueTypeError("Font glyph outlines overlap");
    }
  }
  offsets.push_back(glyf.size());
  // Short offsets count words up to 0x1FFFE bytes; beyond, the long form.
  const bool longLoca = longLoca_ || glyf.size() > 0x1FFFE;
  std::string loca;
  for (size_t o : offsets) {
    if (longLoca)
      Put32(loca, static_cast<uint32_t>(o));
    else
      Put16(loca, static_cast<uint16_t>(o / 2));
  }

  struct TOut {
    std::string tag;
    std::string data;
    uint32_t checksum;
  };
  std::vector<TOut> out;
  for (const char* tag : kKeptTables) {
    std::string_view t = Table(tag);
    if (t.empty()) continue;
    std::string data;
    if (std::string_view(tag) == "glyf")
      data = glyf;
    else if (std::string_view(tag) == "loca")
      data = loca;
    else
      data = std::string(t);
    if (std::string_view(tag) == "head") {
      Set32(data, 8, 0);
      Set16(data, 50, longLoca ? 1 : 0);
    }
    out.push_back({tag, std::move(data), 0});
  }
  for (auto& t : out) t.checksum = TableChecksum(t.data);

  const uint16_t n = static_cast<uint16_t>(out.size());
  uint16_t selector = 0;
  while ((2u << selector) <= n) ++selector;
  const uint16_t searchRange = static_cast<uint16_t>(16u << selector);
  std::string file;
  Put32(file, 0x00010000);
  Put16(file, n);
  Put16(file, searchRange);
  Put16(file, selector);
  Put16(file, static_cast<uint16_t>(n * 16 - searchRange));
  // Data after the directory: the copied tables first, then glyf, then loca.
  std::vector<const TOut*> order;
  for (const auto& t : out)
    if (t.tag != "glyf" && t.tag != "loca") order.push_back(&t);
  for (const auto& t : out)
    if (t.tag == "glyf") order.push_back(&t);
  for (const auto& t : out)
    if (t.tag == "loca") order.push_back(&t);
  std::vector<uint32_t> placed(out.size());
  uint32_t at = 12 + 16u * n;
  for (const TOut* t : order) {
    placed[static_cast<size_t>(t - out.data())] = at;
    at += static_cast<uint32_t>((t->data.size() + 3) / 4 * 4);
  }
  size_t headAt = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    file += out[i].tag;
    Put32(file, out[i].checksum);
    Put32(file, placed[i]);
    Put32(file, static_cast<uint32_t>(out[i].data.size()));
    if (out[i].tag == "head") headAt = placed[i];
  }
  for (const TOut* t : order) {
    file += t->data;
    PadTo(file, 4);
  }
  Set32(file, headAt + 8, 0xB1B0AFBAu - TableChecksum(file));
  return file;
}

}  // namespace pdf
