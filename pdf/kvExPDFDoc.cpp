// Formatted-text stamping: the markup reader and the runs it stamps.
#include "pdf/kvExPDFDoc.h"

#include <algorithm>
#include <memory>

#include "pdf/kvConsts.h"
#include "pdf/kvPDFWatermark.h"
#include "platform/rtl/CodePages.h"

namespace pdf {

namespace {

struct NamedValue {
  const char16_t* Name;
  int32_t Value;
};

// red, green, blue as a toolkit colour (0x00BBGGRR).
constexpr int32_t Rgb(int r, int g, int b) {
  return r | (g << 8) | (b << 16);
}

constexpr NamedValue kColours[] = {
    {u"aqua", Rgb(0, 255, 255)},     {u"black", Rgb(0, 0, 0)},      {u"blue", Rgb(0, 0, 255)},
    {u"fuchsia", Rgb(255, 0, 255)},  {u"green", Rgb(0, 128, 0)},    {u"gray", Rgb(128, 128, 128)},
    {u"lime", Rgb(0, 255, 0)},       {u"maroon", Rgb(128, 0, 0)},   {u"navy", Rgb(0, 0, 128)},
    {u"olive", Rgb(128, 128, 0)},    {u"purple", Rgb(128, 0, 128)}, {u"red", Rgb(255, 0, 0)},
    {u"silver", Rgb(192, 192, 192)}, {u"teal", Rgb(0, 128, 128)},   {u"white", Rgb(255, 255, 255)},
    {u"yellow", Rgb(255, 255, 0)}};

constexpr NamedValue kCharsets[] = {
    {u"ansi_charset", 0},      {u"default_charset", 1},    {u"symbol_charset", 2},
    {u"mac_charset", 77},      {u"shiftjis_charset", 128}, {u"hangeul_charset", 129},
    {u"johab_charset", 130},   {u"gb2312_charset", 134},   {u"chinesebig5_charset", 136},
    {u"greek_charset", 161},   {u"turkish_charset", 162},  {u"vietnamese_charset", 163},
    {u"hebrew_charset", 177},  {u"arabic_charset", 178},   {u"baltic_charset", 186},
    {u"russian_charset", 204}, {u"thai_charset", 222},     {u"easteurope_charset", 238},
    {u"oem_charset", 255}};

std::u16string Lower(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return s;
}

const NamedValue* Lookup(const NamedValue* table, size_t count, const std::u16string& name) {
  const std::u16string key = Lower(name);
  for (size_t i = 0; i < count; ++i)
    if (key == table[i].Name) return &table[i];
  return nullptr;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// A colour name of the table or #RRGGBB; anything else is black (a longer
// hex value would reach into the bits that mark system colours).
int32_t MarkupColour(const std::u16string& v) {
  if (const NamedValue* named = Lookup(kColours, std::size(kColours), v)) return named->Value;
  if (v.size() != 7 || v[0] != u'#') return graphics::clBlack;
  int digits[6];
  for (int i = 0; i < 6; ++i)
    if ((digits[i] = HexDigit(v[static_cast<size_t>(i) + 1])) < 0) return graphics::clBlack;
  return Rgb(digits[0] * 16 + digits[1], digits[2] * 16 + digits[3], digits[4] * 16 + digits[5]);
}

// A whole number of points kept within range; anything else leaves the size.
void ApplySize(const std::u16string& v, graphics::TFont& font) {
  if (v.empty() || !std::all_of(v.begin(), v.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
    return;
  int size = 0;
  for (char16_t c : v) size = std::min(size * 10 + (c - u'0'), kMaxMarkupFontSize);
  font.SetSize(std::max(size, 1));
}

class MarkupReader {
 public:
  explicit MarkupReader(const std::u16string& text) : text_(text) { stack_.push_back(DefaultMarkupFont()); }

  std::vector<TkvFormattedRun> Read() {
    while (pos_ < text_.size()) {
      if (text_[pos_] == u'<' && Tag()) continue;
      // Text, or a "<" that starts no tag: up to the next "<".
      const size_t next = text_.find(u'<', pos_ + 1);
      const size_t end = next == std::u16string::npos ? text_.size() : next;
      pending_ += text_.substr(pos_, end - pos_);
      pos_ = end;
    }
    Flush();
    return std::move(runs_);
  }

 private:
  bool Tag() {
    size_t end = pos_ + 1;
    while (end < text_.size() && text_[end] != u'>' && text_[end] != u' ') ++end;
    // A name that runs to the end of the text ends no tag: "a<b" is text.
    if (end >= text_.size()) return false;
    const std::u16string name = Lower(text_.substr(pos_ + 1, end - pos_ - 1));
    static const std::pair<const char16_t*, graphics::TFontStyle> kStyles[] = {
        {u"b", graphics::fsBold},
        {u"i", graphics::fsItalic},
        {u"u", graphics::fsUnderline},
        {u"strikeout", graphics::fsStrikeOut}};
    for (const auto& [tag, style] : kStyles) {
      const bool open = name == tag, close = name.size() > 1 && name[0] == u'/' && name.substr(1) == tag;
      if (!open && !close) continue;
      Flush();
      if (open)
        stack_.back().Style.Include(style);
      else
        stack_.back().Style.Exclude(style);
      SkipPast(u'>');
      return true;
    }
    if (name == u"/font") {
      Flush();
      if (stack_.size() > 1) stack_.pop_back();
      SkipPast(u'>');
      return true;
    }
    if (name != u"font") return false;
    Flush();
    if (stack_.size() >= static_cast<size_t>(kMaxFontNesting)) throw EPDFException(SFontNesting);
    graphics::TFont font = DefaultMarkupFont();
    font.Style = stack_.back().Style;
    pos_ = end;
    Attributes(font);
    stack_.push_back(font);
    return true;
  }

  void Attributes(graphics::TFont& font) {
    while (pos_ < text_.size()) {
      while (pos_ < text_.size() && text_[pos_] == u' ') ++pos_;
      if (pos_ >= text_.size()) return;
      if (text_[pos_] == u'>') {
        ++pos_;
        return;
      }
      const size_t start = pos_;
      while (pos_ < text_.size() && text_[pos_] != u' ' && text_[pos_] != u'=' && text_[pos_] != u'>') ++pos_;
      const std::u16string attr = Lower(text_.substr(start, pos_ - start));
      if (pos_ >= text_.size() || text_[pos_] != u'=') continue;
      ++pos_;
      bool quoted = false;
      while (pos_ < text_.size() && (text_[pos_] == u' ' || text_[pos_] == u'"'))
        quoted = quoted || text_[pos_++] == u'"';
      // A quoted value runs to its closing quote; an unquoted one ends at a
      // blank or ">", so that it cannot swallow the rest of the text.
      const size_t from = pos_;
      if (quoted && (attr == u"face" || attr == u"charset")) {
        while (pos_ < text_.size() && text_[pos_] != u'"') ++pos_;
      } else {
        while (pos_ < text_.size() && text_[pos_] != u' ' && text_[pos_] != u'"' && text_[pos_] != u'>')
          ++pos_;
      }
      const std::u16string value = text_.substr(from, pos_ - from);
      if (pos_ < text_.size() && text_[pos_] == u'"') ++pos_;
      if (attr == u"size")
        ApplySize(value, font);
      else if (attr == u"color")
        font.Color = MarkupColour(value);
      else if (attr == u"face")
        font.Name = rtl::WideToMultiByte(value);
      else if (attr == u"charset")
        if (const NamedValue* c = Lookup(kCharsets, std::size(kCharsets), value))
          font.Charset = static_cast<graphics::TFontCharset>(c->Value);
    }
  }

  void SkipPast(char16_t c) {
    const size_t at = text_.find(c, pos_);
    pos_ = at == std::u16string::npos ? text_.size() : at + 1;
  }

  void Flush() {
    if (pending_.empty()) return;
    runs_.push_back({pending_, stack_.back()});
    pending_.clear();
  }

  const std::u16string& text_;
  size_t pos_ = 0;
  std::u16string pending_;
  std::vector<graphics::TFont> stack_;
  std::vector<TkvFormattedRun> runs_;
};

}  // namespace

graphics::TFont DefaultMarkupFont() {
  graphics::TFont font;
  font.Name = rtl::WideToMultiByte(u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF");
  font.Charset = graphics::ANSI_CHARSET;
  font.SetSize(12);
  return font;
}

std::vector<TkvFormattedRun> ParseFormattedText(const std::u16string& Text) {
  return MarkupReader(Text).Read();
}

void TkvExPDFDocument::StampFormattedText(const std::u16string& Text, const std::string& PageRange, double X,
                                          double Y) {
  // The whole text is read before the first run is stamped: bad markup
  // leaves the pages as they were.
  const std::vector<TkvFormattedRun> runs = ParseFormattedText(Text);
  if (runs.empty()) return;
  const TkvMeasurementUnit unit = MeasurementUnit;
  const double x = unit == muPixels ? X : pdf::PointsToUnit(muPixels, UnitToPoints(X));
  const double y = unit == muPixels ? Y : pdf::PointsToUnit(muPixels, UnitToPoints(Y));
  struct UnitRestore {
    TkvCustomPDFDocument& doc;
    TkvMeasurementUnit unit;
    ~UnitRestore() { doc.MeasurementUnit = unit; }
  } restore{*this, unit};
  MeasurementUnit = muPixels;

  // A run starts where the one before it ends on the page, so runs are
  // measured as each page shows them, variables expanded: pages whose runs
  // read alike are stamped together.
  TkvPageNumbers numbers;
  ParsePageRange(PageRange, PageCount(), numbers);
  std::vector<std::pair<std::vector<std::u16string>, std::string>> groups;
  for (int32_t n : numbers) {
    std::vector<std::u16string> shown;
    for (const TkvFormattedRun& r : runs) shown.push_back(ExpandVariables(*this, r.Text, n));
    auto it = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == shown; });
    if (it == groups.end())
      groups.push_back({std::move(shown), std::to_string(n)});
    else
      it->second += "," + std::to_string(n);
  }

  for (const auto& [shown, pages] : groups) {
    TkvTextWatermarkTemplate run;
    run.XOffset = x;
    run.YOffset = y;
    for (size_t i = 0; i < runs.size(); ++i) {
      const TkvFormattedRun& r = runs[i];
      run.RenderMode = 0;
      run.Overlay = true;
      run.HorizontalPosition = hpAtOffset;
      run.VerticalPosition = vpAtOffset;
      int32_t width = 0, height = 0, newWidth = 0, newHeight = 0;
      MeasureText(shown[i], r.Font, newWidth, newHeight);
      if (i > 0) {
        MeasureText(shown[i - 1], runs[i - 1].Font, width, height);
        run.XOffset += width;
        // The runs share their bottom line.
        run.YOffset += height - newHeight;
      }
      run.SetFont(r.Font);
      run.Text = r.Text;
      ApplyWatermark(run, pages);
    }
  }
}

void TkvExPDFDocument::StampFormattedTextAll(const std::u16string& Text, double X, double Y) {
  if (PageCount() == 0) return;
  StampFormattedText(Text, "1-" + std::to_string(PageCount()), X, Y);
}

}  // namespace pdf
