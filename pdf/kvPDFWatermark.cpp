// Text and image stamps: the templates' content, the processor that builds
// one stream per page geometry, and the document's stamping run.
#include "pdf/kvPDFWatermark.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "pdf/kvConsts.h"
#include "pdf/kvPDFFont.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/DateTime.h"

namespace pdf {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Rad(double degrees) {
  return degrees * kPi / 180;
}
double SinD(double degrees) {
  return std::sin(Rad(degrees));
}
double CosD(double degrees) {
  return std::cos(Rad(degrees));
}
double TanD(double degrees) {
  return std::tan(Rad(degrees));
}

std::string Fixed(double v, int decimals) {
  return rtl::Format(decimals == 4 ? "%.4f" : "%.3f", {v});
}

bool In(int a, int lo, int hi) {
  return a >= lo && a <= hi;
}

// The tables of origin corrections know angles of 0 to 359 degrees: a turn
// the other way (-40) is the same angle counted forward (320).
int ForwardAngle(int32_t a) {
  return static_cast<int>(((a % 360) + 360) % 360);
}

// The half diagonal's projection that centres a box of w by h turned by a.
double HalfDiagonal(double h, double w, double a, bool horizontal) {
  const double t = std::atan2(h, w) + Rad(a);
  return (horizontal ? std::cos(t) : std::sin(t)) * std::sqrt(h * h + w * w) / 2;
}

// Moves the origin so that a box of w by h turned by a lies at its
// position (horizontal text and images).
void CorrectOrigin(TkvHorizontalPosition hp, TkvVerticalPosition vp, int a, double h, double w, double& x,
                   double& y) {
  switch (hp) {
    case hpLeft:
      if (In(a, 1, 90)) {
        x += h * SinD(a);
      } else if (In(a, 91, 180)) {
        const double u = 180 - a;
        x = CosD(u) * (TanD(u) > 0 ? w - h / TanD(u) : w) + (SinD(u) > 0 ? h / SinD(u) : 0);
      } else if (In(a, 181, 270)) {
        x += std::abs(CosD(a - 180)) * w;
      }
      break;
    case hpCentre:
      x -= HalfDiagonal(h, w, a, true);
      break;
    case hpRight:
      if (In(a, 0, 90))
        x -= std::abs(CosD(a)) * w;
      else if (In(a, 181, 269))
        x -= std::abs(CosD(270 - a)) * h;
      else if (In(a, 270, 360))
        x -= CosD(a - 270) * h + w * CosD(a);
      break;
    default:
      x += CosD(90 - a) * h;
      break;
  }
  switch (vp) {
    case vpTop:
      if (In(a, 0, 90))
        y -= h * CosD(a) + w * SinD(a);
      else if (In(a, 91, 180))
        y -= w * SinD(a);
      // Turned back by less than a quarter, the box's top left corner is
      // its highest point: it lies h cos a above the origin.
      else if (In(a, 271, 360))
        y -= SinD(a - 270) * h;
      break;
    case vpMiddle:
      y -= HalfDiagonal(h, w, a, false);
      break;
    case vpBottom:
      // Turned by 0 to 90 degrees the box's lowest point is its origin: it
      // already stands on the bottom edge (lifting it by h would leave a
      // gap of its own height beneath it).
      if (In(a, 91, 180))
        y += SinD(a - 90) * h;
      else if (In(a, 181, 270))
        y += SinD(a - 180) * w + CosD(a - 180) * h;
      else if (In(a, 271, 360))
        y += CosD(a - 270) * w;
      break;
    default:
      y -= SinD(90 - a) * h;
      break;
  }
}

// The same for a column of text: g the font size, h the column's length,
// t the height of one line.
void CorrectVerticalOrigin(TkvHorizontalPosition hp, TkvVerticalPosition vp, int a, double g, double h,
                           double t, double& x, double& y) {
  switch (hp) {
    case hpLeft:
      if (In(a, 0, 90))
        x += g * SinD(a);
      else if (In(a, 91, 180))
        x += t;
      else if (In(a, 181, 270))
        x += h * CosD(270 - a);
      else if (In(a, 271, 360))
        x += h * SinD(360 - a);
      break;
    case hpCentre:
      if (In(a, 0, 90))
        x -= SinD(a) * h / 2;
      else if (In(a, 91, 180))
        x -= CosD(a - 90) * h / 2;
      else if (In(a, 181, 270))
        x += CosD(270 - a) * h / 2;
      else if (In(a, 271, 360))
        x += CosD(a - 270) * h / 2;
      break;
    case hpRight:
      if (In(a, 1, 90))
        x -= h * SinD(a);
      else if (In(a, 91, 180))
        x -= h * CosD(a - 90);
      else if (In(a, 181, 270))
        x += t * SinD(a);
      else if (In(a, 271, 360))
        x = x - t * CosD(a) + g * SinD(a);
      if (a < 90 || a == 360) x -= t;
      break;
    default:
      x += g * CosD(90 - a);
      break;
  }
  switch (vp) {
    case vpTop:
      if (In(a, 0, 90))
        y -= t;
      else if (In(a, 91, 180))
        y -= h * SinD(a - 90) + g * SinD(a);
      else if (In(a, 181, 270))
        y -= h * CosD(a - 180);
      else if (In(a, 271, 360))
        y -= t * CosD(a);
      break;
    case vpMiddle:
      if (In(a, 0, 90))
        y += CosD(a) * h / 2;
      else if (In(a, 91, 180))
        y -= SinD(a - 90) * h / 2;
      else if (In(a, 181, 270))
        y -= SinD(270 - a) * h / 2;
      else if (In(a, 271, 360))
        y += SinD(a - 270) * h / 2;
      break;
    case vpBottom:
      if (In(a, 0, 90))
        y += h * CosD(a);
      else if (In(a, 91, 180))
        y -= t * CosD(a);
      else if (In(a, 181, 270))
        y += t;
      else if (In(a, 271, 360))
        y += h * SinD(a - 270);
      break;
    default:
      y -= g * SinD(90 - a);
      break;
  }
}

void ClampOrigin(double& x, double& y) {
  if (x < 0.1) x = 0;
  if (y < 0.1) y = 0;
}

// Characters of the text as the strings one character each stands for.
std::vector<std::u16string> Characters(const std::u16string& text) {
  std::vector<std::u16string> out;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    out.push_back(text.substr(i, pair ? 2 : 1));
    if (pair) ++i;
  }
  return out;
}

bool IsSimpleFont(const graphics::TFont& font) {
  return font.Charset == graphics::ANSI_CHARSET || font.Charset == graphics::SYMBOL_CHARSET ||
         (font.Charset == graphics::DEFAULT_CHARSET && rtl::GetACP() == 1252);
}

// The bytes of text in the font's code page; a symbol font takes the low
// byte of each character (its glyphs sit at U+F020..U+F0FF or in ASCII).
std::string FontBytes(const std::u16string& text, const graphics::TFont& font) {
  if (font.Charset == graphics::SYMBOL_CHARSET) {
    std::string out;
    for (char16_t c : text) out.push_back(static_cast<char>(c & 0xFF));
    return out;
  }
  try {
    return rtl::WideToMultiByte(text, CodePageOfCharset(font.Charset));
  } catch (const rtl::Exception&) {
    return std::string(text.size(), '?');
  }
}

std::u16string Lower(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return s;
}

std::u16string Wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::u16string TwoDigits(int v) {
  return Wide((v < 10 ? "0" : "") + std::to_string(v));
}

// The date and time in the formats of the system's Japanese locale.
std::u16string DateTimeText(const std::u16string& name) {
  const rtl::TDateTime now = rtl::Now();
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  rtl::DecodeDate(now, year, month, day);
  rtl::DecodeTime(now, hour, minute, second, ms);
  if (name == u"shortdate")
    return Wide(std::to_string(year)) + u"/" + TwoDigits(month) + u"/" + TwoDigits(day);
  if (name == u"longdate")
    return Wide(std::to_string(year)) + u"\u5E74" + Wide(std::to_string(month)) + u"\u6708" +
           Wide(std::to_string(day)) + u"\u65E5";
  if (name == u"shorttime") return Wide(std::to_string(hour)) + u":" + TwoDigits(minute);
  return Wide(std::to_string(hour)) + u":" + TwoDigits(minute) + u":" + TwoDigits(second);
}

TkvPDFDictObject& PageDictAt(TkvCustomPDFDocument& doc, int32_t index) {
  TkvPDFDictObject* dict = doc.ObjectStore->FetchDict(doc.PageList[static_cast<size_t>(index)]->Value.get());
  if (!dict) throw kvCstPDFDoc::EUnexpectedObjectError(SUnexpectedObject);
  return *dict;
}

std::unique_ptr<TkvPDFIndirectObject> StreamObject(const TkvCustomPDFDocument& doc, int32_t number,
                                                   const std::string& data, bool addRef) {
  auto bytes = std::make_unique<rtl::TMemoryStream>();
  bytes->Write(data.data(), static_cast<int64_t>(data.size()));
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->AddInteger("/Length", static_cast<int32_t>(data.size()));
  return std::make_unique<TkvPDFIndirectObject>(
      static_cast<int32_t>(doc.DocumentID), number, 0,
      std::make_unique<TkvPDFStreamObject>(std::move(dict), std::move(bytes)), addRef);
}

// The "q" and "Q" streams that bracket a page's own content under overlays.
void EnsureStateStreams(TkvCustomPDFDocument& doc) {
  if (doc.SaveStateStreamNum != -1) return;
  doc.SaveStateStreamNum = doc.ObjectStore->NextObjectNumber();
  doc.ObjectStore->AddObject(StreamObject(doc, doc.SaveStateStreamNum, "q", false));
  doc.RestoreStateStreamNum = doc.ObjectStore->NextObjectNumber();
  doc.ObjectStore->AddObject(StreamObject(doc, doc.RestoreStateStreamNum, "Q", false));
}

std::unique_ptr<TkvPDFIndirectReference> StateRef(TkvCustomPDFDocument& doc, int32_t number) {
  auto ref = std::make_unique<TkvPDFIndirectReference>(static_cast<int32_t>(doc.DocumentID), number, 0);
  if (TkvPDFIndirectObject* obj = doc.ObjectStore->FindObject(*ref)) obj->AddRef();
  return ref;
}

// The page's rotation as 0, 90, 180 or 270; a value that is not a multiple
// of 90 turns nothing, as viewers take it.
int NormalRotation(int32_t rotate) {
  const int r = static_cast<int>(((rotate % 360) + 360) % 360);
  return r % 90 == 0 ? r : 0;
}

TkvPDFRect NormalBox(const TkvPDFArrayObject& box) {
  std::unique_ptr<TkvPDFRect> r = RectFromArray(box);
  TkvPDFRect n;
  n.X1 = std::min(r->X1, r->X2);
  n.X2 = std::max(r->X1, r->X2);
  n.Y1 = std::min(r->Y1, r->Y2);
  n.Y2 = std::max(r->Y1, r->Y2);
  return n;
}

// What a stamping run needs of one page, read before anything is changed.
struct StampPage {
  int32_t Index = 0;  // 0-based
  TkvPDFRect Box;
  int Rotation = 0;
  std::u16string Text;
};

// Checks every page of the run first, so that a bad page stops the run
// before any page is stamped.
std::vector<StampPage> ReadPages(TkvCustomPDFDocument& doc, const TkvPageNumbers& numbers,
                                 const char* category) {
  const TkvPDFObjectStore& store = *doc.ObjectStore;
  std::vector<StampPage> pages;
  for (int32_t n : numbers) {
    StampPage p;
    p.Index = n - 1;
    TkvPDFDictObject& dict = PageDictAt(doc, p.Index);
    const TkvPDFArrayObject* box = store.FetchArray(dict.Find("/MediaBox"));
    if (!box) throw EPDFException(rtl::Format(SStampNoMediaBox, {n}));
    p.Box = NormalBox(*box);
    p.Rotation = NormalRotation(doc.GetPageRotation(n));
    if (const TkvPDFObject* res = dict.Find("/Resources"); res && !res->IsNull()) {
      const TkvPDFDictObject* resources = store.FetchDict(res);
      if (!resources) throw EUnexpectedError(SErrorInsertingResource);
      store.FetchDict(resources->Find(category));  // raises for a category that is no dictionary
    }
    if (const TkvPDFObject* contents = dict.Find("/Contents")) {
      const TkvPDFObject* target = store.FetchDirect(contents);
      if (target && !target->IsNull() && !target->IsArray() &&
          !(target->IsStream() && contents->IsReference()))
        throw EUnexpectedError(rtl::Format(SUnexpectedContent, {n}));
    }
    pages.push_back(p);
  }
  return pages;
}

bool PageUsesName(const TkvCustomPDFDocument& doc, int32_t index, const char* category,
                  const std::string& name) {
  const TkvPDFObjectStore& store = *doc.ObjectStore;
  const TkvPDFDictObject* dict = store.FetchDict(doc.PageList[static_cast<size_t>(index)]->Value.get());
  const TkvPDFDictObject* res = dict ? store.FetchDict(dict->Find("/Resources")) : nullptr;
  const TkvPDFDictObject* cat = res ? store.FetchDict(res->Find(category)) : nullptr;
  return cat && cat->Find(name);
}

// A random name that none of the pages uses in the category yet: a name
// that is there already would be left alone and the stamp would draw that
// resource instead of its own.
std::string FreeResourceName(const TkvCustomPDFDocument& doc, const std::vector<StampPage>& pages,
                             const char* category, std::string (*make)()) {
  for (int draw = 0; draw < kMaxResourceNameDraws; ++draw) {
    std::string name = make();
    bool used = false;
    for (const StampPage& p : pages) used = used || PageUsesName(doc, p.Index, category, name);
    if (!used) return name;
  }
  throw EPDFException(SNoFreeResourceName);
}

TkvPDFDictObject* PageResources(TkvCustomPDFDocument& doc, int32_t index) {
  TkvPDFDictObject& dict = PageDictAt(doc, index);
  const TkvPDFObject* res = dict.Find("/Resources");
  // A page without resources gets its own, so that its stamp can name what
  // it draws.
  if (!res || res->IsNull()) dict.SetValue("/Resources", std::make_unique<TkvPDFDictObject>());
  return doc.ObjectStore->FetchDict(dict.Find("/Resources"));
}

// The matrix from the shown page (rotation applied, lower left corner at
// 0 0) to the page's own space; empty when they coincide.
std::string FrameMatrix(const TkvPDFRect& b, int rotation) {
  double m[6] = {1, 0, 0, 1, b.X1, b.Y1};
  switch (rotation) {
    case 90:
      m[0] = 0, m[1] = 1, m[2] = -1, m[3] = 0, m[4] = b.X2, m[5] = b.Y1;
      break;
    case 180:
      m[0] = -1, m[1] = 0, m[2] = 0, m[3] = -1, m[4] = b.X2, m[5] = b.Y2;
      break;
    case 270:
      m[0] = 0, m[1] = -1, m[2] = 1, m[3] = 0, m[4] = b.X1, m[5] = b.Y2;
      break;
    default:
      break;
  }
  if (rotation == 0 && b.X1 == 0 && b.Y1 == 0) return {};
  std::string s;
  for (double v : m) s += Fixed(v, 3) + " ";
  return s + "cm";
}

}  // namespace

// ---------------------------------------------------------------------------
// Variables

std::u16string ExpandVariables(TkvCustomPDFDocument& doc, const std::u16string& text, int32_t pageNo) {
  std::map<std::u16string, std::u16string> computed;
  auto value = [&](const std::u16string& name, std::u16string& out) -> bool {
    const std::u16string key = Lower(name);
    if (key == u"totpage")
      out = Wide(std::to_string(doc.PageCount()));
    else if (key == u"pageno")
      out = Wide(std::to_string(pageNo));
    else if (key == u"shortdate" || key == u"shorttime" || key == u"longdate" || key == u"longtime")
      out = DateTimeText(key);
    else if (key == u"author")
      out = doc.DocInfo ? doc.DocInfo->Author() : u"";
    else if (key == u"creator")
      out = doc.DocInfo ? doc.DocInfo->Creator() : u"";
    else if (key == u"subject")
      out = doc.DocInfo ? doc.DocInfo->Subject() : u"";
    else if (key == u"title")
      out = doc.DocInfo ? doc.DocInfo->Title() : u"";
    else if (!doc.OnCalcVariables)
      return false;
    else if (auto it = computed.find(key); it != computed.end())
      out = it->second;
    else {
      std::u16string v;
      doc.OnCalcVariables(&doc, name, v, pageNo);
      out = computed[key] = v;
    }
    return true;
  };
  std::u16string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find(u"<%", pos);
    if (open == std::u16string::npos) break;
    const size_t close = text.find(u"%>", open + 2);
    if (close == std::u16string::npos) break;
    // The last "<%" before the "%>" opens the variable.
    const size_t inner = text.rfind(u"<%", close - 1);
    if (inner != std::u16string::npos && inner > open && inner + 2 <= close) open = inner;
    const std::u16string name = text.substr(open + 2, close - open - 2);
    std::u16string v;
    out += text.substr(pos, open - pos);
    if (!name.empty() && value(name, v))
      out += v;
    else
      out += text.substr(open, close + 2 - open);
    pos = close + 2;
  }
  return out + text.substr(std::min(pos, text.size()));
}

// ---------------------------------------------------------------------------
// Templates

TkvTextWatermarkTemplate::TkvTextWatermarkTemplate() {
  Font.Charset = graphics::ANSI_CHARSET;
}
TkvTextWatermarkTemplate::~TkvTextWatermarkTemplate() = default;
void TkvTextWatermarkTemplate::SetFont(const graphics::TFont& font) {
  Font.Assign(font);
}

std::string TkvTextWatermarkTemplate::ShowText(const std::u16string& text) const {
  // Every text goes out escaped or as hex: a ")" in a stamp must end no
  // string, or the rest of the text would run as page operators.
  if (IsSimpleFont(Font) || !pdfFont_ || pdfFont_->Info().FontType != 0)
    return "(" + EscapePDFString(IsSimpleFont(Font) ? FontBytes(text, Font) : rtl::WideToMultiByte(text)) +
           ") Tj";
  return "<" + pdfFont_->TextToGlyphHex(text) + "> Tj";
}

std::string TkvTextWatermarkTemplate::Decorations(double x, double y, double a, double width,
                                                  double lineHeight) const {
  if (!pdfFont_) return {};
  const TkvPDFFontInfo& info = pdfFont_->Info();
  const int angle = a == 360 ? 0 : static_cast<int>(a);
  const std::string colour = ColorToPDFRGB(Font.Color);
  auto segment = [&](double x1, double y1, double w, double thickness) {
    return Fixed(thickness, 3) + " w " + colour + " rg " + colour + " RG " + Fixed(x1, 3) + " " +
           Fixed(y1, 3) + " m " + Fixed(x1 + w * CosD(angle), 3) + " " + Fixed(y1 + w * SinD(angle), 3) +
           " l B\r";
  };
  const double p = std::abs(info.UnderlinePosition), u = info.UnderlineSize;
  const double s = std::abs(info.StrikeOutPosition) + info.StrikeOutSize;
  auto underline = [&](double ox, double oy, double w) {
    double x1, y1;
    if (In(angle, 0, 90))
      x1 = ox + p * SinD(angle), y1 = oy - p - u + p * CosD(angle);
    else if (In(angle, 91, 179))
      x1 = ox + u * CosD(angle - 90), y1 = oy - p + u + p * SinD(angle - 90);
    else if (In(angle, 180, 270))
      x1 = ox - p * CosD(270 - angle), y1 = oy + p - u + p * SinD(270 - angle);
    else
      x1 = ox - p * CosD(angle - 270), y1 = oy - p * SinD(angle - 270);
    return segment(x1, y1, w, u);
  };
  auto strike = [&](double ox, double oy, double w) {
    return segment(ox - s * SinD(angle), oy + s * CosD(angle), w, info.StrikeOutSize);
  };
  std::string out;
  const bool under = Font.Style.Contains(graphics::fsUnderline),
             struck = Font.Style.Contains(graphics::fsStrikeOut);
  if (Orientation == 0) {
    if (under) out += underline(x, y, width);
    if (struck) out += strike(x, y, width);
    return out;
  }
  // A column: one segment beside each character, stepping down the column.
  const std::vector<std::u16string> chars = Characters(pageText_);
  for (size_t i = 0; i < chars.size(); ++i) {
    if (chars[i] == u" ") continue;
    int32_t cw = 0, ch = 0;
    MeasureText(chars[i], Font, cw, ch);
    const double ox = x + static_cast<double>(i) * lineHeight * SinD(angle);
    const double oy = y - static_cast<double>(i) * lineHeight * CosD(angle);
    if (under) out += underline(ox, oy, PixelsToPoints(cw));
    if (struck) out += strike(ox, oy, PixelsToPoints(cw));
  }
  return out;
}

std::string TkvTextWatermarkTemplate::BuildContent(const std::string& ResourceName,
                                                   TkvMeasurementUnit /*Unit*/, double X, double Y) {
  const std::u16string& text = pageText_;
  const std::vector<std::u16string> chars = Characters(text);
  const double size = std::max(1, Font.Size());
  int32_t wpx = 0, hpx = 0;
  MeasureText(text, Font, wpx, hpx);
  const double measured = PixelsToPoints(wpx), lineHeight = PixelsToPoints(hpx);

  // Spread the difference between the screen's width and the PDF font's
  // widths over the characters, so that the stamp is as wide as measured.
  double pdfWidth = 0;
  if (pdfFont_) {
    if (IsSimpleFont(Font) || pdfFont_->Info().FontType != 0) {
      for (unsigned char c : FontBytes(text, Font))
        if (c >= 32) pdfWidth += pdfFont_->Info().Widths[c - 32];
    } else {
      const std::string hex = pdfFont_->TextToGlyphHex(text);
      const std::vector<int32_t>& widths = pdfFont_->GlyphWidths();
      for (size_t i = 0; i + 4 <= hex.size(); i += 4) {
        const size_t g = std::stoul(hex.substr(i, 4), nullptr, 16);
        pdfWidth += g < widths.size() ? widths[g] : 1000;
      }
    }
  }
  double spacing = measured - pdfWidth * size / 1000;
  if (!chars.empty()) spacing /= static_cast<double>(chars.size());

  const int a = ForwardAngle(Angle);
  double x = X, y = Y;
  if (Orientation == 0) {
    CorrectOrigin(HorizontalPosition, VerticalPosition, a, size, measured, x, y);
    // The box above stands on the baseline; descenders reach below it. At
    // an edge the baseline's far side faces, the text is moved in by its
    // descent (images have none and stay on the edge).
    const double descent = (pdfFont_ ? std::abs(pdfFont_->Info().Descent) : 200) * size / 1000;
    const double sn = SinD(a), cs = CosD(a);
    if (HorizontalPosition == hpLeft)
      x += descent * std::max(0.0, -sn);
    else if (HorizontalPosition == hpRight)
      x -= descent * std::max(0.0, sn);
    if (VerticalPosition == vpTop)
      y -= descent * std::max(0.0, -cs);
    else if (VerticalPosition == vpBottom)
      y += descent * std::max(0.0, cs);
  } else
    CorrectVerticalOrigin(HorizontalPosition, VerticalPosition, a, size,
                          static_cast<double>(chars.size()) * size, lineHeight, x, y);
  ClampOrigin(x, y);

  std::string s = "q\rBT\r" + rtl::FloatToStr(spacing) + " Tc 0 Tw 100 Tz 0 TL\r";
  s += ColorToPDFRGB(Font.Color) + " rg\r" + ColorToPDFRGB(OutlineColor) + " RG\r";
  s += std::to_string(RenderMode) + " Tr\r" + ResourceName + " " + std::to_string(static_cast<int>(size)) +
       " Tf\r";
  s += Fixed(CosD(a), 4) + " " + Fixed(SinD(a), 4) + " " + Fixed(-SinD(a), 4) + " " + Fixed(CosD(a), 4) +
       " " + Fixed(x, 3) + " " + Fixed(y, 3) + " Tm\r";
  if (Orientation == 0) {
    s += ShowText(text) + "\r";
  } else {
    for (const std::u16string& c : chars) s += ShowText(c) + " 0 " + Fixed(-lineHeight, 3) + " Td\r";
  }
  s += "ET\r" + Decorations(x, y, a, measured, lineHeight) + "Q\r\n";
  return s;
}

std::string TkvImageWatermarkTemplate::BuildContent(const std::string& ResourceName, TkvMeasurementUnit Unit,
                                                    double X, double Y) {
  const double w =
      Width != 0 ? pdf::UnitToPoints(Unit, Width) : PixelsToPoints(Graphic ? Graphic->Width() : 0);
  const double h =
      Height != 0 ? pdf::UnitToPoints(Unit, Height) : PixelsToPoints(Graphic ? Graphic->Height() : 0);
  double x = X, y = Y;
  const int a = ForwardAngle(Angle);
  CorrectOrigin(HorizontalPosition, VerticalPosition, a, h, w, x, y);
  ClampOrigin(x, y);
  const double c = CosD(a), s = SinD(a);
  return "q\r0 g 0 G\r1 0 0 1 " + Fixed(x, 3) + " " + Fixed(y, 3) + " cm\r" + Fixed(c, 3) + " " +
         Fixed(s, 3) + " " + Fixed(-s, 3) + " " + Fixed(c, 3) + " 0 0 cm\r" + Fixed(w, 3) + " 0 0 " +
         Fixed(h, 3) + " 0 0 cm\r" + ResourceName + " Do\rQ\r\n";
}

// ---------------------------------------------------------------------------
// Processor

TkvWatermarkProcessor::TkvWatermarkProcessor(TkvCustomPDFDocument& document, TkvMeasurementUnit unit,
                                             TkvCustomWatermarkTemplate& watermark)
    : document_(document), template_(watermark), unit_(unit) {}

void TkvWatermarkProcessor::ComputeOrigin(double width, double height, double& x, double& y) const {
  switch (template_.HorizontalPosition) {
    case hpLeft:
      x = 0;
      break;
    case hpCentre:
      x = width / 2;
      break;
    case hpRight:
      x = width;
      break;
    default:
      x = pdf::UnitToPoints(unit_, template_.XOffset);
      break;
  }
  switch (template_.VerticalPosition) {
    case vpTop:
      y = height;
      break;
    case vpMiddle:
      y = height / 2;
      break;
    case vpBottom:
      y = 0;
      break;
    default:
      y = height - pdf::UnitToPoints(unit_, template_.YOffset);
      break;
  }
}

std::unique_ptr<TkvPDFIndirectObject> TkvWatermarkProcessor::MakeContent(const std::string& name,
                                                                         const TkvPDFRect& box, int rotation,
                                                                         const std::u16string& text,
                                                                         int32_t objectNumber) {
  // Positions are taken on the page as it is shown; a turned page gets the
  // stamp upright and where its position says.
  const bool turned = rotation == 90 || rotation == 270;
  const double width = turned ? box.Y2 - box.Y1 : box.X2 - box.X1;
  const double height = turned ? box.X2 - box.X1 : box.Y2 - box.Y1;
  double x = 0, y = 0;
  ComputeOrigin(width, height, x, y);
  std::string content = template_.BuildContent(name, unit_, x, y);
  if (const std::string frame = FrameMatrix(box, rotation); !frame.empty())
    content = "q\r" + frame + "\r" + content + "Q\r\n";
  auto obj = StreamObject(document_, objectNumber, content, true);
  rects_.push_back({box, rotation, text});
  refs_.push_back(MakeReference(*obj));
  return obj;
}

int TkvWatermarkProcessor::FindRect(const TkvPDFRect& box, int rotation, const std::u16string& text) const {
  for (size_t i = 0; i < rects_.size(); ++i) {
    const Built& b = rects_[i];
    if (b.Box.X1 == box.X1 && b.Box.Y1 == box.Y1 && b.Box.X2 == box.X2 && b.Box.Y2 == box.Y2 &&
        b.Rotation == rotation && b.Text == text)
      return static_cast<int>(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Page links

void InsertPageResource(const TkvPDFObjectStore& store, TkvPDFDictObject* resources,
                        const std::string& category, const TkvPDFIndirectReference& ref,
                        const std::string& name) {
  if (!resources) throw EUnexpectedError(SErrorInsertingResource);
  TkvPDFDictObject* cat = store.FetchDict(resources->Find(category));
  if (!cat) {
    auto fresh = std::make_unique<TkvPDFDictObject>();
    fresh->AddEntry(name, ref.Clone());
    resources->SetValue(category, std::move(fresh));
  } else if (!cat->Find(name)) {
    cat->AddEntry(name, ref.Clone());
  }
}

void InsertPageContent(TkvCustomPDFDocument& doc, int32_t pageIndex, const TkvPDFIndirectReference& stamp,
                       bool overlay) {
  TkvPDFDictObject& page = PageDictAt(doc, pageIndex);
  const TkvPDFObject* contents = page.Find("/Contents");
  const TkvPDFObject* target = contents ? doc.ObjectStore->FetchDirect(contents) : nullptr;
  // Always a fresh array of the page's own: an array (or stream) that other
  // pages share must not carry this page's stamp to them.
  auto list = std::make_unique<TkvPDFArrayObject>();
  if (target && target->IsArray()) {
    const auto& old = target->As<TkvPDFArrayObject>();
    for (int i = 0; i < old.Count(); ++i) list->Add(old.GetItem(i)->Clone());
  } else if (target && target->IsStream() && contents->IsReference()) {
    list->Add(contents->Clone());
  } else if (target && !target->IsNull()) {
    throw EUnexpectedError(rtl::Format(SUnexpectedContent, {pageIndex + 1}));
  }
  if (!overlay) {
    list->Insert(0, stamp.Clone());
  } else {
    bool bracketed = false;
    for (int i = 0; i < list->Count(); ++i) {
      const TkvPDFObject* item = list->GetItem(i);
      bracketed =
          bracketed ||
          (item->IsReference() && item->As<TkvPDFIndirectReference>().ObjNum == doc.SaveStateStreamNum &&
           item->As<TkvPDFIndirectReference>().SourceID == static_cast<int32_t>(doc.DocumentID));
    }
    if (!bracketed && list->Count() > 0) {
      list->Insert(0, StateRef(doc, doc.SaveStateStreamNum));
      list->Add(StateRef(doc, doc.RestoreStateStreamNum));
    }
    list->Add(stamp.Clone());
  }
  page.SetValue("/Contents", std::move(list));
}

// ---------------------------------------------------------------------------
// The stamping run

namespace {

void ApplyTemplate(TkvCustomPDFDocument& doc, TkvWatermarkTemplate& tmpl, const std::string& range,
                   std::set<const TkvWatermarkTemplate*>& open) {
  if (auto* composite = dynamic_cast<TkvCompositeWatermarkTemplate*>(&tmpl)) {
    if (open.size() >= static_cast<size_t>(kMaxTemplateNesting) || !open.insert(composite).second)
      throw EPDFException(STemplateNesting);
    for (int i = 0; i < composite->Count(); ++i)
      if (composite->Item(i)) ApplyTemplate(doc, *composite->Item(i), range, open);
    open.erase(composite);
    return;
  }
  auto* text = dynamic_cast<TkvTextWatermarkTemplate*>(&tmpl);
  auto* image = dynamic_cast<TkvImageWatermarkTemplate*>(&tmpl);
  if ((!text && !image) || (text && text->Text.empty()) || (image && !image->Graphic)) return;
  auto& positioned = static_cast<TkvCustomWatermarkTemplate&>(tmpl);

  TkvPageNumbers numbers;
  ParsePageRange(range, doc.PageCount(), numbers);
  const char* category = text ? "/Font" : "/XObject";
  std::vector<StampPage> pages = ReadPages(doc, numbers, category);
  if (pages.empty()) return;
  if (positioned.Angle >= 360 || positioned.Angle <= -360) positioned.Angle %= 360;

  std::u16string allText;
  if (text) {
    std::set<char16_t> seen;
    for (StampPage& p : pages) {
      p.Text = ExpandVariables(doc, text->Text, p.Index + 1);
      for (char16_t c : p.Text)
        if (seen.insert(c).second) allText.push_back(c);
    }
  }
  const std::string name =
      FreeResourceName(doc, pages, category, text ? MakeFontResourceName : MakeImageResourceName);
  // The font is made for every page's text: a subset holds exactly the
  // glyphs the pages show, page numbers included.
  std::unique_ptr<TkvPDFIndirectReference> resource =
      text ? doc.AddFontResource(text->Font, name, text->EmbedMode, text->EncodingIndex, allText)
           : doc.AddImageXObject(*image->Graphic, name);
  std::unique_ptr<TkvPDFFont> pdfFont = text ? std::make_unique<TkvPDFFont>(text->Font, false) : nullptr;
  if (positioned.Overlay) EnsureStateStreams(doc);

  TkvWatermarkProcessor processor(doc, doc.MeasurementUnit, positioned);
  bool first = true;
  for (const StampPage& p : pages) {
    std::unique_ptr<TkvPDFIndirectReference> ref;
    if (const int found = processor.FindRect(p.Box, p.Rotation, p.Text); found >= 0) {
      ref = CloneAs(processor.Reference(found));
      if (TkvPDFIndirectObject* obj = doc.ObjectStore->FindObject(*ref)) obj->AddRef();
      if (TkvPDFIndirectObject* obj = doc.ObjectStore->FindObject(*resource)) obj->AddRef();
    } else {
      if (text) text->SetPageText(p.Text, pdfFont.get());
      auto obj = processor.MakeContent(name, p.Box, p.Rotation, p.Text, doc.ObjectStore->NextObjectNumber());
      ref = MakeReference(*obj);
      doc.ObjectStore->AddObject(std::move(obj));
      if (!first)
        if (TkvPDFIndirectObject* res = doc.ObjectStore->FindObject(*resource)) res->AddRef();
    }
    first = false;
    InsertPageResource(*doc.ObjectStore, PageResources(doc, p.Index), category, *resource, name);
    InsertPageContent(doc, p.Index, *ref, positioned.Overlay);
  }
  if (text) text->SetPageText({}, nullptr);
}

}  // namespace

void TkvCustomPDFDocument::ApplyWatermark(TkvWatermarkTemplate& Template, const std::string& PageRange) {
  std::set<const TkvWatermarkTemplate*> open;
  ApplyTemplate(*this, Template, PageRange, open);
}

}  // namespace pdf
