// A small reader of the first directory of a classic TIFF written by an
// oracle tool: the geometry, the compression tags and the strips' bytes.
// Enough to hand strips to a decoder under test; not a TIFF reader.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tk::test {

struct TiffStrips {
  std::map<uint16_t, std::vector<uint32_t>> tags;
  std::vector<std::string> strips;

  uint32_t Tag(uint16_t tag, uint32_t otherwise = 0) const {
    auto it = tags.find(tag);
    return it == tags.end() || it->second.empty() ? otherwise : it->second[0];
  }
  std::vector<uint32_t> Values(uint16_t tag) const {
    auto it = tags.find(tag);
    return it == tags.end() ? std::vector<uint32_t>{} : it->second;
  }
  std::string AllStrips() const {
    std::string all;
    for (const std::string& s : strips) all += s;
    return all;
  }
};

// Parses bytes of a little- or big-endian classic TIFF; empty on damage.
inline TiffStrips ReadTiffStrips(const std::string& file) {
  TiffStrips r;
  if (file.size() < 8) return r;
  const bool big = file[0] == 'M';
  auto u16 = [&](size_t o) -> uint32_t {
    if (o + 2 > file.size()) return 0;
    auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(file[o + i])); };
    return big ? (b(0) << 8 | b(1)) : (b(1) << 8 | b(0));
  };
  auto u32 = [&](size_t o) -> uint32_t {
    return big ? (u16(o) << 16 | u16(o + 2)) : (u16(o + 2) << 16 | u16(o));
  };
  const uint32_t ifd = u32(4);
  const uint32_t n = u16(ifd);
  for (uint32_t i = 0; i < n; ++i) {
    const size_t e = ifd + 2 + 12 * i;
    const uint16_t tag = static_cast<uint16_t>(u16(e));
    const uint32_t type = u16(e + 2), count = u32(e + 4);
    const size_t size = type == 3 ? 2 : type == 4 ? 4 : 1;
    const size_t at = size * count <= 4 ? e + 8 : u32(e + 8);
    std::vector<uint32_t>& values = r.tags[tag];
    for (uint32_t k = 0; k < count && k < 100000; ++k)
      values.push_back(size == 2   ? u16(at + 2 * k)
                       : size == 4 ? u32(at + 4 * k)
                                   : static_cast<uint8_t>(file[at + k]));
  }
  const std::vector<uint32_t>& offsets = r.tags[273];
  const std::vector<uint32_t>& counts = r.tags[279];
  for (size_t i = 0; i < offsets.size() && i < counts.size(); ++i) {
    if (offsets[i] + static_cast<uint64_t>(counts[i]) > file.size()) return {};
    r.strips.push_back(file.substr(offsets[i], counts[i]));
  }
  return r;
}

// The pixel bytes of a binary PNM file (P4, P5, P6) as the oracles write
// them: what follows the header's fields (a maxval after all but P4).
inline std::string PnmPixels(const std::string& pnm) {
  const int fields = pnm.compare(0, 2, "P4") == 0 ? 3 : 4;
  size_t pos = 0;
  for (int field = 0; field < fields; ++field) {
    while (pos < pnm.size() && isspace(static_cast<unsigned char>(pnm[pos]))) ++pos;
    while (pos < pnm.size() && !isspace(static_cast<unsigned char>(pnm[pos]))) ++pos;
  }
  return pos < pnm.size() ? pnm.substr(pos + 1) : std::string();
}

}  // namespace tk::test
