#include "platform/graphics/FontEngine.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include FT_TRUETYPE_TAGS_H

#include <algorithm>
#include <cstdlib>

#include "platform/rtl/CodePages.h"
#include "platform/rtl/Handles.h"

namespace graphics {

namespace {

// The whole-pixel ceiling of a 26.6 length, the way FreeType rounds a face's
// ascender and descender.
int32_t CeilPixels(FT_Pos v) {
  return static_cast<int32_t>((v + 63) >> 6);
}

int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
  // Rounds half away from zero, as the window system's MulDiv does.
  int64_t p = a * b;
  int64_t q = (std::llabs(p) + c / 2) / c;
  return p < 0 ? -q : q;
}

std::shared_ptr<FT_LibraryRec_> SharedLibrary() {
  // Held by every face as well, so a face in a process-wide object never
  // outlives the library, whatever order statics are destroyed in.
  static const std::shared_ptr<FT_LibraryRec_> library = [] {
    FT_Library lib = nullptr;
    if (FT_Error e = FT_Init_FreeType(&lib))
      throw EInvalidGraphicOperation(rtl::Format("Cannot start the font engine (FreeType error %d)", {e}));
    return std::shared_ptr<FT_LibraryRec_>(lib, FT_Done_FreeType);
  }();
  return library;
}

// The process's own fontconfig configuration. fontconfig's implicit default
// one is never released, which the leak checker rightly reports.
FcConfig* Config() {
  struct Deleter {
    void operator()(FcConfig* c) const { FcConfigDestroy(c); }
  };
  static const std::unique_ptr<FcConfig, Deleter> config(FcInitLoadConfigAndFonts());
  if (!config) throw EInvalidGraphicOperation("Cannot load the font configuration");
  return config.get();
}

struct PatternDeleter {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
using PatternPtr = std::unique_ptr<FcPattern, PatternDeleter>;

const FcChar8* Fc(const char* s) {
  return reinterpret_cast<const FcChar8*>(s);
}

int ClampHeight(int64_t pixels) {
  return static_cast<int>(std::clamp<int64_t>(pixels, -TFont::kMaxPixelHeight, TFont::kMaxPixelHeight));
}

int ResolutionOf(const TFont& font) {
  return font.PixelsPerInch > 0 ? font.PixelsPerInch : ScreenPixelsPerInch();
}

}  // namespace

// ---------------------------------------------------------------------------

TFont::TFont() {
  SetSize(kDefaultSize);
}

int TFont::Size() const {
  return static_cast<int>(-MulDiv(height_, 72, ResolutionOf(*this)));
}

void TFont::SetSize(int points) {
  // Both factors fit 32 bits, so the product cannot overflow before the clamp.
  height_ = ClampHeight(-MulDiv(points, ResolutionOf(*this), 72));
}

void TFont::SetHeight(int pixels) {
  height_ = ClampHeight(pixels);
}

TFontRequest RequestFor(const TFont& font) {
  TFontRequest r;
  r.Name = font.Name;
  r.Bold = font.Style.Contains(fsBold);
  r.Italic = font.Style.Contains(fsItalic);
  r.Charset = font.Charset;
  r.Height = font.Height();
  if (r.Height == 0) r.Height = ClampHeight(-MulDiv(TFont::kDefaultSize, ResolutionOf(font), 72));
  return r;
}

void PrepareFontMatching() {
  Config();
}

TFontFile MatchFontFile(const TFontRequest& request) {
  FcConfig* config = Config();
  PatternPtr pattern(FcPatternCreate());
  if (!pattern) throw EInvalidGraphicOperation("Out of memory matching a font");
  // fontconfig speaks UTF-8; a family name arrives in the system code page.
  const std::string family = rtl::WideToMultiByte(rtl::MultiByteToWide(request.Name), rtl::CP_UTF8);
  if (!family.empty()) FcPatternAddString(pattern.get(), FC_FAMILY, Fc(family.c_str()));
  FcPatternAddInteger(pattern.get(), FC_WEIGHT, request.Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pattern.get(), FC_SLANT, request.Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  // The default character set is the system code page's.
  if (request.Charset == SHIFTJIS_CHARSET ||
      (request.Charset == DEFAULT_CHARSET && rtl::GetACP() == rtl::CP_SHIFTJIS))
    FcPatternAddString(pattern.get(), FC_LANG, Fc("ja"));
  FcConfigSubstitute(config, pattern.get(), FcMatchPattern);
  FcDefaultSubstitute(pattern.get());

  FcResult result = FcResultNoMatch;
  PatternPtr match(FcFontMatch(config, pattern.get(), &result));
  FcChar8* file = nullptr;
  if (!match || FcPatternGetString(match.get(), FC_FILE, 0, &file) != FcResultMatch || !file)
    throw EInvalidGraphicOperation(rtl::Format("No font is installed for \"%s\"", {request.Name}));
  TFontFile out;
  out.Path = reinterpret_cast<const char*>(file);
  int index = 0;
  if (FcPatternGetInteger(match.get(), FC_INDEX, 0, &index) == FcResultMatch) out.FaceIndex = index;
  return out;
}

// ---------------------------------------------------------------------------

TFontFace::TFontFace(const TFontRequest& request)
    : request_(request), file_(MatchFontFile(request)), library_(SharedLibrary()) {
  if (FT_Error e = FT_New_Face(library_.get(), file_.Path.c_str(), file_.FaceIndex, &face_)) {
    face_ = nullptr;
    throw EInvalidGraphicOperation(
        rtl::Format("Cannot read the font file %s (FreeType error %d)", {file_.Path, e}));
  }
  try {
    SetPixelHeight(request.Height);
  } catch (...) {
    FT_Done_Face(face_);
    throw;
  }
}

TFontFace::~TFontFace() {
  if (face_) FT_Done_Face(face_);
}

bool TFontFace::IsBold() const {
  return (face_->style_flags & FT_STYLE_FLAG_BOLD) != 0;
}
bool TFontFace::IsItalic() const {
  return (face_->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
}

void TFontFace::SetPixelHeight(int height) {
  height = std::clamp(height, -TFont::kMaxPixelHeight, TFont::kMaxPixelHeight);
  const TT_OS2* os2 =
      FT_IS_SFNT(face_) ? static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2)) : nullptr;
  // A device context takes ascent and descent from the OS/2 table's
  // usWinAscent and usWinDescent where the font has them (they bound every
  // glyph), not from the typographic line spacing.
  const bool winMetrics = os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0;

  FT_Error e = 0;
  if (FT_IS_SCALABLE(face_)) {
    int ppem = -height;
    if (height > 0) {
      // A positive height is the cell: the em is scaled so that ascent plus
      // descent fill it.
      int64_t cell = winMetrics ? int64_t{os2->usWinAscent} + os2->usWinDescent
                                : int64_t{face_->ascender} - face_->descender;
      if (cell <= 0) cell = face_->units_per_EM;
      ppem = ClampHeight(MulDiv(height, face_->units_per_EM, cell));
    }
    ppem = std::clamp(ppem, 1, TFont::kMaxPixelHeight);
    e = FT_Set_Pixel_Sizes(face_, 0, static_cast<FT_UInt>(ppem));
  } else if (face_->num_fixed_sizes > 0) {
    // A bitmap font has only its strikes: take the one nearest in height.
    const FT_Pos want = static_cast<FT_Pos>(std::abs(height)) * 64;
    int best = 0;
    for (int i = 1; i < face_->num_fixed_sizes; ++i)
      if (std::labs(face_->available_sizes[i].y_ppem - want) <
          std::labs(face_->available_sizes[best].y_ppem - want))
        best = i;
    e = FT_Select_Size(face_, best);
  }
  if (e || !face_->size)
    throw EInvalidGraphicOperation(
        rtl::Format("Cannot size the font %s (FreeType error %d)", {file_.Path, e}));

  const FT_Size_Metrics& m = face_->size->metrics;
  if (winMetrics && FT_IS_SCALABLE(face_)) {
    metric_.tmAscent = CeilPixels(FT_MulFix(os2->usWinAscent, m.y_scale));
    metric_.tmDescent = CeilPixels(FT_MulFix(os2->usWinDescent, m.y_scale));
  } else {
    metric_.tmAscent = CeilPixels(m.ascender);
    metric_.tmDescent = CeilPixels(-m.descender);
  }
  metric_.tmHeight = metric_.tmAscent + metric_.tmDescent;
}

int32_t TFontFace::Advance(char32_t codePoint) const {
  const FT_UInt glyph = FT_Get_Char_Index(face_, codePoint);
  // Hinted, as on a screen: the advance comes out in whole pixels.
  if (FT_Load_Glyph(face_, glyph, FT_LOAD_DEFAULT) != 0) return 0;
  return static_cast<int32_t>((face_->glyph->advance.x + 32) >> 6);
}

namespace {

int32_t RoundPixels(FT_Pos v) {
  return static_cast<int32_t>((v + 32) >> 6);
}

// The family nibble of a device context's pitch and family, from the PANOSE
// classification the face carries.
uint8_t FamilyOf(const TT_OS2* os2) {
  if (!os2) return 0;
  const FT_Byte kind = os2->panose[0], serif = os2->panose[1], proportion = os2->panose[3];
  if (kind == 3) return FF_SCRIPT;
  if (kind == 4 || kind == 5) return FF_DECORATIVE;
  if (kind != 2) return 0;
  if (proportion == 9) return FF_MODERN;
  if (serif >= 11 && serif <= 13) return FF_SWISS;
  if (serif >= 2 && serif <= 10) return FF_ROMAN;
  return 0;
}

}  // namespace

TFontMetric TFontFace::Metric() const {
  TFontMetric m;
  m.Ascent = metric_.tmAscent;
  m.Descent = metric_.tmDescent;
  m.Italic = IsItalic();
  const bool sfnt = FT_IS_SFNT(face_);
  const TT_OS2* os2 = sfnt ? static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face_, FT_SFNT_OS2)) : nullptr;
  const TT_Postscript* post =
      sfnt ? static_cast<const TT_Postscript*>(FT_Get_Sfnt_Table(face_, FT_SFNT_POST)) : nullptr;
  if (os2 && os2->version == 0xFFFF) os2 = nullptr;
  m.Weight = os2 && os2->usWeightClass ? os2->usWeightClass : (IsBold() ? 700 : 400);

  const bool fixedPitch = FT_IS_FIXED_WIDTH(face_) || (post && post->isFixedPitch);
  uint8_t pf = FamilyOf(os2);
  if (!fixedPitch) pf |= TMPF_FIXED_PITCH;
  if (FT_IS_SCALABLE(face_)) pf |= TMPF_VECTOR;
  FT_ULong glyfLength = 0;
  if (sfnt && FT_Load_Sfnt_Table(face_, TTAG_glyf, 0, nullptr, &glyfLength) == 0 && glyfLength > 0)
    pf |= TMPF_TRUETYPE;
  m.PitchAndFamily = pf;

  if (FT_IS_SCALABLE(face_) && face_->size) {
    const FT_Size_Metrics& sm = face_->size->metrics;
    auto x = [&](FT_Long units) { return RoundPixels(FT_MulFix(units, sm.x_scale)); };
    auto y = [&](FT_Long units) { return RoundPixels(FT_MulFix(units, sm.y_scale)); };
    m.MaxCharWidth = x(face_->max_advance_width);
    m.AveCharWidth = os2 && os2->xAvgCharWidth > 0 ? x(os2->xAvgCharWidth) : Advance(U'x');
    m.UnderscoreSize = y(face_->underline_thickness);
    m.UnderscorePosition = y(face_->underline_position);
    if (os2) {
      m.StrikeoutSize = y(os2->yStrikeoutSize);
      m.StrikeoutPosition = y(os2->yStrikeoutPosition);
    }
  } else if (face_->size) {
    m.MaxCharWidth = RoundPixels(face_->size->metrics.max_advance);
    m.AveCharWidth = Advance(U'x');
  }
  // 16.16 degrees to tenths of a degree.
  if (post) m.ItalicAngle = static_cast<int32_t>((static_cast<int64_t>(post->italicAngle) * 10) / 65536);
  return m;
}

std::vector<TFontCharset> TFontFace::Charsets() const {
  std::vector<TFontCharset> out;
  auto has = [&](char32_t c) { return FT_Get_Char_Index(face_, c) != 0; };
  if (has(U'A') && has(U'\u00E9')) out.push_back(ANSI_CHARSET);
  if (has(U'\u3042') && has(U'\u4E00')) out.push_back(SHIFTJIS_CHARSET);
  for (int i = 0; i < face_->num_charmaps; ++i)
    if (face_->charmaps[i]->encoding == FT_ENCODING_MS_SYMBOL) {
      out.push_back(SYMBOL_CHARSET);
      break;
    }
  return out;
}

std::string TFontFace::FontData() const {
  std::string data;
  rtl::ReadSmallFile(file_.Path, static_cast<size_t>(kMaxFontFileBytes), data);
  return data;
}

// ---------------------------------------------------------------------------

std::u32string CodePointsOf(const std::string& text) {
  return CodePointsOf(rtl::MultiByteToWide(text));
}

std::u32string CodePointsOf(const std::u16string& w) {
  std::u32string out;
  out.reserve(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    char32_t u = w[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (w[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    out.push_back(u);
  }
  return out;
}

}  // namespace graphics
