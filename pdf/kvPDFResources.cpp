// Page resources (image XObjects and fonts) and the stream and string
// encodings of the document component.
#include "pdf/kvPDFResources.h"

#include <algorithm>

#include "pdf/kvConsts.h"
#include "pdf/kvFilters.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFFont.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "pdf/kvPDFUtils.h"
#include "pdf/kvdzlib.h"
#include "platform/graphics/Jpeg.h"
#include "platform/rtl/CodePages.h"

namespace pdf {

namespace {

constexpr const char* kEncodingNames[] = {"WinAnsiEncoding", "MacRomanEncoding", "MacExpertEncoding",
                                          "StandardEncoding", "PDFDocEncoding"};

// Puts name in front of the stream's filter list, keeping /DecodeParms in
// step with it (its entries belong to the filters in order).
void PrependFilter(TkvPDFDictObject& dict, std::unique_ptr<TkvPDFObject> filter, const std::string& name) {
  if (!filter) {
    dict.SetName("/Filter", name);
    return;
  }
  auto list = std::make_unique<TkvPDFArrayObject>();
  list->Add(std::make_unique<TkvPDFNameObject>(name));
  if (filter->IsName()) {
    list->Add(std::move(filter));
  } else {
    const auto& old = filter->As<TkvPDFArrayObject>();
    for (int i = 0; i < old.Count(); ++i) list->Add(old.GetItem(i)->Clone());
  }
  dict.SetValue("/Filter", std::move(list));
  if (const TkvPDFObject* parms = dict.Find("/DecodeParms")) {
    auto plist = std::make_unique<TkvPDFArrayObject>();
    plist->Add(std::make_unique<TkvPDFNullObject>());
    if (parms->IsArray()) {
      const auto& old = parms->As<TkvPDFArrayObject>();
      for (int i = 0; i < old.Count(); ++i) plist->Add(old.GetItem(i)->Clone());
    } else {
      plist->Add(parms->Clone());
    }
    dict.SetValue("/DecodeParms", std::move(plist));
  }
}

bool IsNamed(const TkvPDFObject* o, const std::string& name) {
  return o && o->IsName() && o->As<TkvPDFNameObject>().Text == name;
}

bool ArrayHasName(const TkvPDFObject* a, std::initializer_list<const char*> names) {
  const auto& arr = a->As<TkvPDFArrayObject>();
  for (int i = 0; i < arr.Count(); ++i)
    for (const char* n : names)
      if (IsNamed(arr.GetItem(i), n)) return true;
  return false;
}

void CheckFilterObject(const TkvPDFObject* filter) {
  if (filter && !filter->IsName() && !filter->IsArray())
    throw kvCstPDFDoc::EUnexpectedObjectError(rtl::Format(SUnexpectedFilterObject, {filter->TypeName()}));
}

const TkvPDFObject* FilterOf(const TkvPDFDictObject& dict, const TkvDirectResolver& direct) {
  const TkvPDFObject* f = direct(dict.Find("/Filter"));
  return f && f->IsNull() ? nullptr : f;
}

bool IsDecodable(const TkvPDFObject* o) {
  return IsNamed(o, "/ASCIIHexDecode") || IsNamed(o, "/ASCII85Decode") || IsNamed(o, "/FlateDecode") ||
         IsNamed(o, "/RunLengthDecode");
}

}  // namespace

std::string CompressString(const std::string& data, uint8_t kind, uint8_t level) {
  std::string out;
  if (kind == 0)
    TkvFlateFilter().EncodeStringLevel(data, static_cast<TkvCompressionLevel>(std::min<int>(level, lvMax)),
                                       out);
  else if (kind == 1)
    TkvRLEFilter().EncodeString(data, out);
  else
    return data;
  return out;
}

std::string ASCIIEncodeString(const std::string& data, uint8_t kind) {
  std::string out;
  if (kind == 0)
    TkvAsciiHexFilter().EncodeString(data, out);
  else if (kind == 1)
    TkvAscii85Filter().EncodeString(data, out);
  else
    return data;
  return out;
}

std::string CompressStreamData(TkvPDFDictObject& dict, std::string data, const TkvCompression& compression,
                               const TkvDirectResolver& direct) {
  if (!compression.Enabled || compression.Kind > 1) return data;
  const std::string chosen = compression.Kind == 0 ? "/FlateDecode" : "/RunLengthDecode";
  const TkvPDFObject* filter = FilterOf(dict, direct);
  CheckFilterObject(filter);
  if (filter && (filter->IsName() ? IsNamed(filter, chosen) || IsNamed(filter, "/CCITTFaxDecode")
                                  : ArrayHasName(filter, {"/FlateDecode", "/CCITTFaxDecode"})))
    return data;
  data = CompressString(data, compression.Kind, compression.Level);
  PrependFilter(dict, filter ? filter->Clone() : nullptr, chosen);
  dict.SetInteger("/Length", static_cast<int32_t>(data.size()));
  return data;
}

std::string ASCIIEncodeStreamData(TkvPDFDictObject& dict, std::string data, const TkvASCIIEncode& encode,
                                  const TkvDirectResolver& direct) {
  if (!encode.Enabled || encode.Kind > 1) return data;
  const std::string chosen = encode.Kind == 0 ? "/ASCIIHexDecode" : "/ASCII85Decode";
  const TkvPDFObject* filter = FilterOf(dict, direct);
  CheckFilterObject(filter);
  if (IsNamed(filter, chosen)) return data;
  if (filter && filter->IsArray() && IsNamed(filter->As<TkvPDFArrayObject>().GetItem(0), chosen)) return data;
  data = ASCIIEncodeString(data, encode.Kind);
  PrependFilter(dict, filter ? filter->Clone() : nullptr, chosen);
  dict.SetInteger("/Length", static_cast<int32_t>(data.size()));
  return data;
}

std::string DecodeStreamData(TkvPDFDictObject& dict, std::string data, const TkvDirectResolver& direct) {
  const TkvPDFObject* filter = FilterOf(dict, direct);
  if (!filter) return data;
  CheckFilterObject(filter);
  const TkvPDFObject* parms = direct(dict.Find("/DecodeParms"));
  auto parmsAt = [&](int i) -> const TkvPDFObject* {
    if (!parms || parms->IsNull()) return nullptr;
    if (!parms->IsArray()) return i == 0 ? parms : nullptr;
    const TkvPDFObject* p = direct(parms->As<TkvPDFArrayObject>().GetItem(i));
    return p && p->IsNull() ? nullptr : p;
  };
  if (filter->IsName()) {
    if (!IsDecodable(filter) || parmsAt(0)) return data;
    data = DecodeStringFilter(FilterKindOf(filter->As<TkvPDFNameObject>().Text), data);
    dict.Remove("/Filter");
    dict.Remove("/DecodeParms");
  } else {
    auto list = CloneAs(filter->As<TkvPDFArrayObject>());
    int removed = 0;
    while (list->Count() > 0 && IsDecodable(list->GetItem(0)) && !parmsAt(removed)) {
      data = DecodeStringFilter(FilterKindOf(list->GetItem(0)->As<TkvPDFNameObject>().Text), data);
      list->Delete(0);
      ++removed;
    }
    if (removed == 0) return data;
    if (parms && parms->IsArray()) {
      auto plist = CloneAs(parms->As<TkvPDFArrayObject>());
      for (int i = 0; i < removed && plist->Count() > 0; ++i) plist->Delete(0);
      if (plist->Count() == 0 || list->Count() == 0)
        dict.Remove("/DecodeParms");
      else
        dict.SetValue("/DecodeParms", std::move(plist));
    } else if (parms) {
      dict.Remove("/DecodeParms");  // it belonged to the first filter, now gone
    }
    if (list->Count() == 0)
      dict.Remove("/Filter");
    else
      dict.SetValue("/Filter", std::move(list));
  }
  dict.SetInteger("/Length", static_cast<int32_t>(data.size()));
  return data;
}

// ---------------------------------------------------------------------------
// The document component's operations.

namespace {

TkvDirectResolver StoreResolver(const TkvPDFObjectStore* store) {
  return [store](const TkvPDFObject* o) -> const TkvPDFObject* { return store ? store->FetchDirect(o) : o; };
}

}  // namespace

std::string TkvCustomPDFDocument::CompressStreamData(TkvPDFDictObject& Dict, const std::string& Data) const {
  return pdf::CompressStreamData(Dict, Data, Compression, StoreResolver(ObjectStore.get()));
}

std::string TkvCustomPDFDocument::ASCIIEncodeStreamData(TkvPDFDictObject& Dict,
                                                        const std::string& Data) const {
  return pdf::ASCIIEncodeStreamData(Dict, Data, AsciiEncode, StoreResolver(ObjectStore.get()));
}

std::string TkvCustomPDFDocument::DecodeStreamData(TkvPDFDictObject& Dict, const std::string& Data) const {
  return pdf::DecodeStreamData(Dict, Data, StoreResolver(ObjectStore.get()));
}

std::string TkvCustomPDFDocument::EncodeTextString(const std::u16string& Text, int32_t /*ObjectNumber*/) {
  std::string bytes = "\xFE\xFF";
  for (char16_t c : Text) {
    bytes.push_back(static_cast<char>(c >> 8));
    bytes.push_back(static_cast<char>(c & 0xFF));
  }
  return EscapePDFString(bytes);
}

std::u16string TkvCustomPDFDocument::DecodeTextString(const std::string& Text) {
  if (Text.empty() || Text == "()" || Text == "<>") return {};
  // Hexadecimal digits are the bytes of the text, with or without FE FF in
  // front; a backslash means nothing between angle brackets.
  if (Text.front() == '<')
    return DecodeHexText(Text.size() >= 2 && Text.back() == '>' ? Text.substr(1, Text.size() - 2)
                                                                : Text.substr(1));
  std::string s = UnescapePDFString(Text);
  if (!s.empty() && (s[0] == '(' || s[0] == '<'))
    s = s.size() >= 2 ? s.substr(1, s.size() - 2) : std::string();
  bool utf16 = false;
  if (s.size() >= 2 && static_cast<uint8_t>(s[0]) == 0xFE && static_cast<uint8_t>(s[1]) == 0xFF) {
    s.erase(0, 2);
    utf16 = true;
  }
  if (s.size() >= 4 && (s.compare(0, 4, "FEFF") == 0 || s.compare(0, 4, "feff") == 0))
    return DecodeHexText(s);
  if (utf16 || (!s.empty() && static_cast<uint8_t>(s[0]) <= 32)) {
    std::u16string out;
    for (size_t i = 0; i + 1 < s.size(); i += 2)
      out.push_back(
          static_cast<char16_t>((static_cast<uint8_t>(s[i]) << 8) | static_cast<uint8_t>(s[i + 1])));
    return out;
  }
  return rtl::MultiByteToWide(s);
}

std::unique_ptr<rtl::TMemoryStream> TkvCustomPDFDocument::BitmapToRGBData(const graphics::TBitmap& Bitmap) {
  graphics::TBitmap copy;
  copy.Assign(Bitmap);
  copy.SetPixelFormat(graphics::pf24bit);
  auto out = std::make_unique<rtl::TMemoryStream>();
  const int w = copy.Width(), h = copy.Height();
  std::string row(static_cast<size_t>(w) * 3, '\0');
  for (int y = 0; y < h; ++y) {
    const uint8_t* p = copy.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      row[static_cast<size_t>(x) * 3] = static_cast<char>(p[x * 3 + 2]);
      row[static_cast<size_t>(x) * 3 + 1] = static_cast<char>(p[x * 3 + 1]);
      row[static_cast<size_t>(x) * 3 + 2] = static_cast<char>(p[x * 3]);
    }
    out->Write(row.data(), static_cast<int64_t>(row.size()));
  }
  return out;
}

int64_t TkvCustomPDFDocument::CompressToStream(rtl::TMemoryStream& Source, rtl::TStream& Dest) {
  const int64_t before = Dest.Size();
  {
    TCompressionStream z(lvDefault, Dest);
    z.Write(Source.Memory(), Source.Size());
  }
  return Dest.Size() - before;
}

namespace {

std::unique_ptr<TkvPDFIndirectReference> AddToStore(TkvCustomPDFDocument& doc,
                                                    std::unique_ptr<TkvPDFObject> value) {
  const int32_t number = doc.ObjectStore->NextObjectNumber();
  auto obj = std::make_unique<TkvPDFIndirectObject>(static_cast<int32_t>(doc.DocumentID), number, 0,
                                                    std::move(value), true);
  auto ref = MakeReference(*obj);
  doc.ObjectStore->AddObject(std::move(obj));
  return ref;
}

// A stream of data deflated, with /Length and /Filter after the entries
// already in dict.
std::unique_ptr<TkvPDFStreamObject> DeflatedStream(std::unique_ptr<TkvPDFDictObject> dict,
                                                   rtl::TMemoryStream& data) {
  auto packed = std::make_unique<rtl::TMemoryStream>();
  const int64_t size = TkvCustomPDFDocument::CompressToStream(data, *packed);
  dict->SetInteger("/Length", static_cast<int32_t>(size));
  dict->SetName("/Filter", "/FlateDecode");
  return std::make_unique<TkvPDFStreamObject>(std::move(dict), std::move(packed));
}

}  // namespace

std::unique_ptr<TkvPDFIndirectReference> TkvCustomPDFDocument::AddImageXObject(
    const graphics::TGraphic& Graphic, const std::string& Name) {
  const graphics::TBitmap* bitmap = nullptr;
  if (Graphic.ClassType() == graphics::TBitmap::StaticClass())
    bitmap = static_cast<const graphics::TBitmap*>(&Graphic);
  else if (Graphic.ClassType() == graphics::TJPEGImage::StaticClass())
    bitmap = &static_cast<const graphics::TJPEGImage&>(Graphic).Bitmap();
  // An image without pixels would be an image XObject no reader accepts.
  if (!bitmap || bitmap->Empty())
    throw EUnsupportedImageError(rtl::Format(SUnsupportedImage, {Graphic.ClassName()}));
  auto samples = BitmapToRGBData(*bitmap);
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->AddName("/Type", "/XObject");
  dict->AddName("/Subtype", "/Image");
  dict->AddName("/Name", Name);
  dict->AddInteger("/Width", bitmap->Width());
  dict->AddInteger("/Height", bitmap->Height());
  dict->AddInteger("/BitsPerComponent", 8);
  dict->AddName("/ColorSpace", "/DeviceRGB");
  return AddToStore(*this, DeflatedStream(std::move(dict), *samples));
}

std::string TkvCustomPDFDocument::StyledFontName(const graphics::TFont& Font) {
  return StyledName(Font);
}

namespace {

// The six capitals in front of a subset's name, drawn from what makes the
// subset: its face, kind, encoding and glyphs. Subsets of other glyphs get
// other tags, so a viewer never takes one subset for another; the same
// subset made again gets the same tag.
std::string SubsetTag(const TkvPDFFont& font, const std::string& styled, bool composite, uint8_t encoding) {
  std::string key = styled + (composite ? "|0|" : "|1|") + std::to_string(encoding) + "|";
  for (uint16_t c : font.UsedChars()) {
    key.push_back(static_cast<char>(c >> 8));
    key.push_back(static_cast<char>(c & 0xFF));
  }
  const TkvDigest d = TkvMD5::Digest(key);
  std::string tag = "/";
  for (int i = 0; i < 6; ++i) tag.push_back(static_cast<char>('A' + d[static_cast<size_t>(i)] % 26));
  return tag + "+";
}

std::unique_ptr<TkvPDFIndirectReference> BuildFontDescriptor(TkvCustomPDFDocument& doc, TkvPDFFont& font,
                                                             uint8_t embedMode,
                                                             const std::string& subsetTag) {
  const TkvPDFFontInfo& info = font.Info();
  const bool trueType = info.FontType == 0;
  std::string name = font.Font().Name;
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  auto d = std::make_unique<TkvPDFDictObject>();
  d->AddName("/Type", "/FontDescriptor");
  d->AddName("/FontName", (embedMode == 2 && trueType ? subsetTag : "/") + name);
  d->AddInteger("/Flags", info.Flags);
  auto box = std::make_unique<TkvPDFArrayObject>();
  for (int32_t v : {info.BoxLeft, info.Descent, info.MaxWidth, info.Ascent}) box->AddInteger(v);
  d->AddEntry("/FontBBox", std::move(box));
  d->AddInteger("/Ascent", info.Ascent);
  d->AddInteger("/Descent", info.Descent);
  d->AddInteger("/CapHeight", info.CapHeight);
  d->AddInteger("/AvgWidth", info.AvgWidth);
  d->AddInteger("/MaxWidth", info.MaxWidth);
  d->AddInteger("/MissingWidth", info.MaxWidth);
  d->AddInteger("/StemV", info.StemV);
  d->AddInteger("/ItalicAngle", info.ItalicAngle);
  if ((embedMode == 1 || embedMode == 2) && trueType) {
    rtl::TMemoryStream program;
    font.ReadFontFile(program);
    if (embedMode == 2) font.BuildSubset(program);
    if (program.Size() > 0) {
      auto sd = std::make_unique<TkvPDFDictObject>();
      sd->AddInteger("/Length1", static_cast<int32_t>(program.Size()));
      d->AddEntry("/FontFile2", AddToStore(doc, DeflatedStream(std::move(sd), program)));
    }
  }
  return AddToStore(doc, std::move(d));
}

// Glyph widths as /W triples from glyph 1 on: each run of equal widths
// becomes (first, last, width).
std::unique_ptr<TkvPDFArrayObject> WidthArray(const std::vector<int32_t>& widths) {
  auto w = std::make_unique<TkvPDFArrayObject>();
  size_t g = 1;
  while (g < widths.size()) {
    size_t last = g;
    while (last + 1 < widths.size() && widths[last + 1] == widths[g]) ++last;
    w->AddInteger(static_cast<int32_t>(g));
    w->AddInteger(static_cast<int32_t>(last));
    w->AddInteger(widths[g]);
    g = last + 1;
  }
  return w;
}

// A font a page already has that draws text as a new one would: the same
// face and kind and the same encoding. A simple font under a composite
// text (or the other way round) would draw other glyphs than the codes
// name.
const TkvPDFObject* FindReusableFont(const TkvCustomPDFDocument& doc, bool trueType, bool composite,
                                     const std::string& encoding, const std::string& styled) {
  const TkvPDFObjectStore& store = *doc.ObjectStore;
  auto nameIs = [&](const TkvPDFDictObject& d, const char* key, const std::string& value) {
    const TkvPDFObject* o = store.FetchDirect(d.Find(key));
    return o && o->IsName() && o->As<TkvPDFNameObject>().Text == value;
  };
  for (TkvPDFIndirectObject* page : doc.PageList) {
    const TkvPDFDictObject* pageDict = store.FetchDict(page->Value.get());
    if (!pageDict) continue;
    const TkvPDFDictObject* resources = store.FetchDict(pageDict->Find("/Resources"));
    const TkvPDFDictObject* fonts = resources ? store.FetchDict(resources->Find("/Font")) : nullptr;
    if (!fonts) continue;
    for (int i = 0; i < fonts->Count(); ++i) {
      const TkvPDFObject* entry = fonts->ValueAt(i);
      const TkvPDFObject* target = store.FetchDirect(entry);
      if (!target || !target->IsDict()) continue;
      const auto& f = target->As<TkvPDFDictObject>();
      // A subset holds only the glyphs of the text it was made for: its
      // tagged name never matches, so it is never taken for another text.
      if (!nameIs(f, "/BaseFont", "/" + styled) || !nameIs(f, "/Encoding", encoding)) continue;
      if (composite) {
        // Glyph ids are drawn as codes: the descendant must map them as
        // they stand.
        const TkvPDFArrayObject* descendants = store.FetchArray(f.Find("/DescendantFonts"));
        const TkvPDFDictObject* cid =
            descendants && descendants->Count() == 1 ? store.FetchDict(descendants->GetItem(0)) : nullptr;
        if (nameIs(f, "/Subtype", "/Type0") && cid && nameIs(*cid, "/Subtype", "/CIDFontType2") &&
            nameIs(*cid, "/CIDToGIDMap", "/Identity"))
          return entry;
      } else if (nameIs(f, "/Subtype", "/Type1") || (trueType && nameIs(f, "/Subtype", "/TrueType"))) {
        return entry;
      }
    }
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<TkvPDFIndirectReference> TkvCustomPDFDocument::AddFontResource(const graphics::TFont& Font,
                                                                               const std::string& Name,
                                                                               uint8_t EmbedMode,
                                                                               uint8_t EncodingIndex,
                                                                               const std::u16string& Text) {
  auto font = std::make_unique<TkvPDFFont>(Font, EmbedMode == 2);
  const bool trueType = font->Info().FontType == 0;
  const std::string styled = StyledFontName(Font);
  const uint8_t charset = Font.Charset;
  const bool composite = charset != graphics::ANSI_CHARSET && charset != graphics::SYMBOL_CHARSET &&
                         !(charset == graphics::DEFAULT_CHARSET && rtl::GetACP() == 1252);
  // An index past the table would name no encoding at all.
  const uint8_t encoding = EncodingIndex < 5 ? EncodingIndex : 0;
  const std::string encodingName = composite ? "/Identity-H" : std::string("/") + kEncodingNames[encoding];
  if (const TkvPDFObject* existing = FindReusableFont(*this, trueType, composite, encodingName, styled)) {
    // A direct font dictionary cannot be shared by reference: only a
    // reference is reused.
    if (existing->IsReference()) return CloneAs(existing->As<TkvPDFIndirectReference>());
  }
  if (composite && !trueType) throw EUnsupportedFontError(rtl::Format(SUnsupportedFont, {Font.Name}));
  // The glyphs of the text are the ones the subset keeps, and the
  // characters its ToUnicode map gives back.
  if (composite || EmbedMode == 2) font->TextToGlyphHex(Text);
  const std::string tag = SubsetTag(*font, styled, composite, encoding);
  const std::string baseFont = (EmbedMode == 2 ? tag : "/") + styled;
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->AddName("/Type", "/Font");
  if (composite) {
    dict->AddName("/Subtype", "/Type0");
    dict->AddName("/Name", Name);
    dict->AddName("/BaseFont", baseFont);
    dict->AddName("/Encoding", "/Identity-H");
    rtl::TMemoryStream cmap;
    font->BuildCMapText(cmap);
    if (cmap.Size() > 0)
      dict->AddEntry("/ToUnicode",
                     AddToStore(*this, DeflatedStream(std::make_unique<TkvPDFDictObject>(), cmap)));
    auto cid = std::make_unique<TkvPDFDictObject>();
    cid->AddName("/Type", "/Font");
    cid->AddName("/Subtype", "/CIDFontType2");
    cid->AddName("/BaseFont", baseFont);
    cid->AddEntry("/FontDescriptor", BuildFontDescriptor(*this, *font, EmbedMode, tag));
    auto info = std::make_unique<TkvPDFDictObject>();
    info->AddEntry("/Registry", std::make_unique<TkvPDFStringObject>("(Adobe)"));
    info->AddEntry("/Ordering", std::make_unique<TkvPDFStringObject>("(Identity)"));
    info->AddInteger("/Supplement", 0);
    cid->AddEntry("/CIDSystemInfo", std::move(info));
    cid->AddEntry("/W", WidthArray(font->GlyphWidths()));
    cid->AddInteger("/DW", 1000);
    cid->AddName("/CIDToGIDMap", "/Identity");
    auto descendants = std::make_unique<TkvPDFArrayObject>();
    descendants->Add(AddToStore(*this, std::move(cid)));
    dict->AddEntry("/DescendantFonts", std::move(descendants));
  } else {
    dict->AddName("/Subtype", trueType ? "/TrueType" : "/Type1");
    dict->AddName("/BaseFont", trueType ? baseFont : "/" + styled);
    dict->AddName("/Name", Name);
    // An index past the table would name no encoding at all.
    dict->AddName("/Encoding", encodingName);
    dict->AddInteger("/FirstChar", 32);
    dict->AddInteger("/LastChar", 255);
    auto widths = std::make_unique<TkvPDFArrayObject>();
    for (int32_t w : font->Info().Widths) widths->AddInteger(w);
    dict->AddEntry("/Widths", std::move(widths));
    dict->AddEntry("/FontDescriptor", BuildFontDescriptor(*this, *font, EmbedMode, tag));
  }
  return AddToStore(*this, std::move(dict));
}

}  // namespace pdf
