#include "pdf/kvPDFFont.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/graphics/FontEngine.h"
#include "platform/rtl/CodePages.h"

namespace pdf {

// The code page of this system (UTF-8) implies none; a program on a
// double-byte code page sets it at start.
uint8_t DefaultCharset = 0;

namespace {

struct TCharsetPage {
  uint8_t charset;
  unsigned codePage;
};
constexpr TCharsetPage kCharsetPages[] = {{222, 874},  {128, 932},  {134, 936},  {129, 949},  {136, 950},
                                          {238, 1250}, {204, 1251}, {161, 1253}, {162, 1254}, {177, 1255},
                                          {178, 1256}, {186, 1257}, {163, 1258}, {130, 1361}};

// Metrics are taken at this size, so that pixels at the screen resolution
// become 1/1000 em once converted to points.
constexpr int kMetricsSize = 1000;

int32_t PixelsToPoints(int64_t pixels) {
  return static_cast<int32_t>(
      std::lround(static_cast<double>(pixels) * 72.0 / graphics::ScreenPixelsPerInch()));
}

// Integer division first, as the metrics have always been computed: the
// results are multiples of 72.
int32_t WholeInches(int32_t pixels) {
  return (pixels / graphics::ScreenPixelsPerInch()) * 72;
}

std::string Hex4(uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04X", v);
  return buf;
}

std::string WithoutSpaces(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
  return s;
}

}  // namespace

uint8_t DefaultCharsetOfCodePage(unsigned codePage) {
  for (const auto& e : kCharsetPages)
    if (e.codePage == codePage) return e.charset;
  return 0;
}

unsigned CodePageOfCharset(uint8_t charset) {
  if (charset == 0) return 1252;
  for (const auto& e : kCharsetPages)
    if (e.charset == charset) return e.codePage;
  return rtl::GetACP();
}

std::string StyledName(const graphics::TFont& font) {
  const bool bold = font.Style.Contains(graphics::fsBold), italic = font.Style.Contains(graphics::fsItalic);
  std::string name = WithoutSpaces(font.Name);
  if (bold || italic) name += ",";
  if (bold) name += "Bold";
  if (italic) name += "Italic";
  return name;
}

TkvPDFFontInfo::TkvPDFFontInfo(const graphics::TFont& font) {
  Widths.fill(600);
  StrikeOutSize = font.Size() / 20;
  StrikeOutPosition = std::abs(font.Height()) / 5;
  UnderlineSize = font.Size() / 10;
  UnderlinePosition = -1;
}

TkvPDFFont::TkvPDFFont(const graphics::TFont& font, bool subset)
    : font_(font), info_(std::make_unique<TkvPDFFontInfo>(font)), subset_(subset) {
  ComputeMetrics();
  MakePostScriptName();
  if (info_->FontType == 0 && file_ && !(IsSimpleCharset() && !subset_)) {
    cmap_ = file_->ReadUnicodeCmap();
    for (const auto& p : cmap_) glyphOf_.emplace(p.Unicode, p.Glyph);
    glyphWidths_ = file_->ReadGlyphWidths();
  }
}

TkvPDFFont::~TkvPDFFont() = default;

bool TkvPDFFont::IsSimpleCharset() const {
  return font_.Charset == graphics::ANSI_CHARSET ||
         (font_.Charset == graphics::DEFAULT_CHARSET && rtl::GetACP() == 1252);
}

std::u16string TkvPDFFont::CharsToWide(const std::string& bytes, uint8_t charset) {
  try {
    return rtl::MultiByteToWide(bytes, CodePageOfCharset(charset));
  } catch (const rtl::Exception&) {
    return {};
  }
}

bool TkvPDFFont::IsEmbeddableTrueType(const std::vector<graphics::TFontCharset>& familyCharsets) const {
  if (!file_) return false;
  auto has = [&](uint8_t c) {
    return std::find(familyCharsets.begin(), familyCharsets.end(), c) != familyCharsets.end();
  };
  return has(font_.Charset) || (font_.Charset == graphics::DEFAULT_CHARSET && has(DefaultCharset));
}

void TkvPDFFont::ComputeMetrics() {
  graphics::TFont big = font_;
  big.PixelsPerInch = graphics::ScreenPixelsPerInch();
  big.SetSize(kMetricsSize);
  std::unique_ptr<graphics::TFontFace> face;
  try {
    face = std::make_unique<graphics::TFontFace>(graphics::RequestFor(big));
  } catch (const rtl::Exception&) {
    return;  // no font at all: the defaults stand and nothing is embedded
  }
  const graphics::TFontMetric m = face->Metric();
  pitchAndFamily_ = m.PitchAndFamily;
  weight_ = m.Weight;
  if (m.PitchAndFamily & graphics::TMPF_TRUETYPE) {
    try {
      std::string data = face->FontData();
      if (!data.empty()) file_ = std::make_unique<TkvTrueTypeFile>(std::move(data));
    } catch (const ETrueTypeError&) {
      file_.reset();  // a damaged file is not embedded
    }
  }
  TkvPDFFontInfo& info = *info_;
  const uint8_t pf = m.PitchAndFamily;
  if ((pf & graphics::TMPF_TRUETYPE) && IsEmbeddableTrueType(face->Charsets()))
    info.FontType = 0;
  else if ((pf & (graphics::TMPF_FIXED_PITCH | graphics::TMPF_VECTOR | graphics::TMPF_DEVICE)) ==
           (graphics::TMPF_FIXED_PITCH | graphics::TMPF_VECTOR | graphics::TMPF_DEVICE))
    info.FontType = 1;
  if (info.FontType != 0) file_.reset();
  info.FixedPitch = (pf & graphics::TMPF_FIXED_PITCH) == 0;

  auto advanceOfCode = [&](int code) -> int32_t {
    std::u16string w = CharsToWide(std::string(1, static_cast<char>(code)), font_.Charset);
    // A byte that is no character of the code page is measured as the
    // Latin-1 character of that value.
    const char32_t c = w.size() == 1 ? w[0] : static_cast<char32_t>(code);
    return face->Advance(c);
  };
  if (!info.FixedPitch || subset_) {
    for (int code = 32; code <= 255; ++code)
      info.Widths[static_cast<size_t>(code - 32)] = PixelsToPoints(advanceOfCode(code));
  } else {
    info.MaxWidth = PixelsToPoints(face->Advance(U' '));
  }

  int32_t flags = 33;
  if (pf & graphics::TMPF_FIXED_PITCH) flags -= 1;
  if (pf & 0x10) flags += 2;
  if (pf & 0x40) flags += 8;
  if (font_.Charset == graphics::SYMBOL_CHARSET) flags -= 28;
  if (font_.Style.Contains(graphics::fsItalic)) flags |= 64;
  info.Flags = flags;

  info.Ascent = WholeInches(m.Ascent);
  info.Descent = -WholeInches(std::abs(m.Descent));
  info.CapHeight = info.Ascent;
  info.AvgWidth = WholeInches(m.AveCharWidth);
  if (!info.FixedPitch) info.MaxWidth = WholeInches(m.MaxCharWidth);
  info.BoxTop = info.Ascent;
  info.BoxRight = info.MaxWidth;
  info.BoxBottom = info.Descent;

  if (info.FontType == 0) {
    info.ItalicAngle = m.ItalicAngle / 10;
    info.StemV = 78;
    const double size = font_.Size();
    auto scaled = [&](int32_t v) {
      return static_cast<int32_t>(std::lround(
          size * (static_cast<double>(v) / graphics::ScreenPixelsPerInch() * 72.0) / kMetricsSize));
    };
    info.StrikeOutSize = scaled(m.StrikeoutSize);
    info.StrikeOutPosition = scaled(m.StrikeoutPosition);
    info.UnderlineSize = scaled(m.UnderscoreSize);
    info.UnderlinePosition = scaled(m.UnderscorePosition) - 1;
  }
}

void TkvPDFFont::MakePostScriptName() {
  const bool bold = font_.Style.Contains(graphics::fsBold), italic = font_.Style.Contains(graphics::fsItalic);
  if (info_->FontType != 2) {
    postScriptName_ = StyledName(font_);
    return;
  }
  for (const char* standard : kStandardFontNames)
    if (font_.Name == standard) {
      postScriptName_ = standard;
      return;
    }
  if (font_.Charset == graphics::SYMBOL_CHARSET) {
    postScriptName_ = "ZapfDingbats";
    return;
  }
  if (font_.Charset != graphics::ANSI_CHARSET && font_.Charset != graphics::DEFAULT_CHARSET &&
      rtl::GetACP() != 1252) {
    postScriptName_ = "Symbol";
    return;
  }
  int n = -1;
  if (pitchAndFamily_ & 0x20)
    n = 7;
  else if (pitchAndFamily_ & 0x10)
    n = 3;
  else if (info_->FixedPitch || (pitchAndFamily_ & 0xF0) == graphics::FF_MODERN)
    n = 11;
  if (n >= 0) {
    if (!italic) n -= 2;
    if (!bold && weight_ < 700) n -= 1;
  }
  postScriptName_ = n < 0 ? font_.Name : kStandardFontNames[n];
}

void TkvPDFFont::ReadFontFile(rtl::TStream& stream) const {
  if (info_->FontType != 0 || !file_) return;
  stream.Write(file_->Data().data(), static_cast<int64_t>(file_->Data().size()));
}

std::string TkvPDFFont::TextToGlyphHex(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    auto it = glyphOf_.find(c);
    if (it == glyphOf_.end()) continue;
    out += Hex4(it->second);
    drawnChar_.emplace(it->second, c);
    if (subset_ && c != u' ') usedChars_.insert(c);
  }
  return out;
}

void TkvPDFFont::BuildCMapText(rtl::TStream& stream) const {
  if (cmap_.empty()) return;
  // Each glyph maps back to the character it was drawn for (or the first
  // code that names it), in glyph order as a CMap's ranges must be.
  std::vector<std::pair<uint16_t, uint16_t>> map;
  {
    std::unordered_map<uint16_t, uint16_t> seen = drawnChar_;
    for (const auto& p : cmap_) seen.emplace(p.Glyph, p.Unicode);
    map.assign(seen.begin(), seen.end());
    std::sort(map.begin(), map.end());
  }
  std::string t;
  auto line = [&](const std::string& s) { t += s + "\r\n"; };
  for (const char* s : {"%!PS-Adobe-3.0 Resource-CMap",
                        "%%DocumentNeededResources: ProcSet (CIDInit)",
                        "%%IncludeResource: ProcSet (CIDInit)",
                        "%%BeginResource: CMap (Adobe-Identity-UCS)",
                        "%%Title: (Adobe-Identity-UCS Adobe UCS 0)",
                        "%%Version: 10.001",
                        "%%Comment: glyph ids to Unicode text",
                        "%%EndComments",
                        "",
                        "/CIDInit /ProcSet findresource begin",
                        "",
                        "12 dict begin",
                        "",
                        "begincmap",
                        "",
                        "/CIDSystemInfo 3 dict dup begin",
                        "/Registry (Adobe) def",
                        "/Ordering (UCS) def",
                        "/Supplement 0 def",
                        "end def",
                        "",
                        "/CMapName /Adobe-Identity-UCS def",
                        "/CMapVersion 10.001 def",
                        "/CMapType 2 def",
                        "",
                        "1 begincodespacerange",
                        "<0000> <FFFF>",
                        "endcodespacerange",
                        ""})
    line(s);
  // A CMap section holds at most 100 entries.
  for (size_t i = 0; i < map.size(); i += 100) {
    const size_t n = std::min<size_t>(100, map.size() - i);
    line(std::to_string(n) + " beginbfchar");
    for (size_t k = i; k < i + n; ++k) line("<" + Hex4(map[k].first) + "> <" + Hex4(map[k].second) + ">");
    line("endbfchar");
  }
  for (const char* s :
       {"endcmap", "CMapName currentdict /CMap defineresource pop", "end", "end", "%%EndResource", "%%EOF"})
    line(s);
  stream.Write(t.data(), static_cast<int64_t>(t.size()));
}

void TkvPDFFont::BuildSubset(rtl::TMemoryStream& stream) const {
  if (!file_ || cmap_.empty()) return;
  std::set<uint16_t> glyphs;
  for (uint16_t c : usedChars_)
    if (auto it = glyphOf_.find(c); it != glyphOf_.end()) glyphs.insert(it->second);
  std::string reduced;
  try {
    reduced = file_->Subset(glyphs);
  } catch (const ETrueTypeError&) {
    return;  // the whole font stays
  }
  if (reduced.empty() || static_cast<int64_t>(reduced.size()) >= stream.Size()) return;
  stream.Clear();
  stream.Write(reduced.data(), static_cast<int64_t>(reduced.size()));
}

}  // namespace pdf
