#include "converter/PageSource.h"

#include <optional>
#include <set>

#include "converter/FileGuard.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "pdf/kvPDFUtils.h"
#include "platform/rtl/Classes.h"

namespace converter {

namespace {

class TPDFDocPages : public TPageSource {
 public:
  explicit TPDFDocPages(pdf::TkvPDFDocument& doc) : doc_(doc) {}
  // The file is read here, by exactly its name: the document's own loader
  // would take "doc" for "doc.pdf", and wait for ever on a pipe.
  void LoadFromFile(const std::string& path) override {
    rtl::TMemoryStream bytes;
    ReadRegularFile(path, bytes);
    doc_.LoadFromStream(bytes);
  }
  int PageCount() override { return doc_.PageCount(); }
  void FreeOutlines() override { doc_.FreeOutlines(); }
  void ExtractPage(const std::string& pageFile, int page) override {
    doc_.ShowSetupDialog = false;
    doc_.ExtractPages(pageFile, std::to_string(page));
  }
  TPageBox PageSize(int page) override {
    doc_.MeasurementUnit = pdf::muMM;
    pdf::TkvPageSize s;
    doc_.GetPageSize(page, s);
    return {s.X1, s.Y1, s.X2, s.Y2};
  }
  int PageRotation(int page) override { return static_cast<int>(doc_.GetPageRotation(page)); }
  bool JpegSamplesInverted(int page) override {
    if (page < 1 || page > doc_.PageCount()) return false;
    pdf::TkvPDFIndirectObject* object = doc_.PageList[static_cast<size_t>(page - 1)];
    auto* dict = object ? dynamic_cast<pdf::TkvPDFDictObject*>(object->Value.get()) : nullptr;
    if (!dict) return false;
    try {
      std::set<const pdf::TkvPDFStreamObject*> seen;
      return FirstJpegInverted(dict->Find("/Resources"), seen).value_or(false);
    } catch (const rtl::Exception&) {
      // A resource of another type than it should be: the page tool reads
      // it as it can, and the samples are taken as stored.
      return false;
    }
  }

 private:
  // Whether the first JPEG image of the resources, or of a form they hold,
  // has its samples turned round; nothing when they hold none. Each form is
  // looked into once, so that forms drawing each other end, and forms no
  // deeper than the library's bound on trees, so that a hostile chain of
  // them does not exhaust the stack.
  std::optional<bool> FirstJpegInverted(const pdf::TkvPDFObject* resources,
                                        std::set<const pdf::TkvPDFStreamObject*>& seen, int depth = 0) {
    if (depth > pdf::TkvCustomPDFDocument::kMaxTreeDepth) return std::nullopt;
    const pdf::TkvPDFObjectStore& store = *doc_.ObjectStore;
    pdf::TkvPDFDictObject* res = store.FetchDict(resources);
    pdf::TkvPDFDictObject* xobjects = res ? store.FetchDict(res->Find("/XObject")) : nullptr;
    if (!xobjects) return std::nullopt;
    for (int i = 0; i < xobjects->Count(); ++i) {
      pdf::TkvPDFStreamObject* x = store.FetchStream(xobjects->ValueAt(i));
      if (!x || !x->Dict || !seen.insert(x).second) continue;
      pdf::TkvPDFNameObject* subtype = store.FetchName(x->Dict->Find("/Subtype"));
      if (subtype && subtype->Text == "/Form") {
        if (auto inverted = FirstJpegInverted(x->Dict->Find("/Resources"), seen, depth + 1)) return inverted;
        continue;
      }
      if (!subtype || subtype->Text != "/Image" || !IsJpeg(*x->Dict)) continue;
      pdf::TkvPDFArrayObject* decode = store.FetchArray(x->Dict->Find("/Decode"));
      if (!decode || decode->Count() < 2) return false;
      return pdf::NumberValue(store.FetchDirect(decode->GetItem(0))) >
             pdf::NumberValue(store.FetchDirect(decode->GetItem(1)));
    }
    return std::nullopt;
  }
  // The last filter decodes the image: a JPEG the page tool writes as it is.
  bool IsJpeg(const pdf::TkvPDFDictObject& dict) {
    const pdf::TkvPDFObjectStore& store = *doc_.ObjectStore;
    const pdf::TkvPDFObject* filter = store.FetchDirect(dict.Find("/Filter"));
    if (auto* list = dynamic_cast<const pdf::TkvPDFArrayObject*>(filter))
      filter = list->Count() > 0 ? store.FetchDirect(list->GetItem(list->Count() - 1)) : nullptr;
    auto* name = dynamic_cast<const pdf::TkvPDFNameObject*>(filter);
    return name && (name->Text == "/DCTDecode" || name->Text == "/DCT");
  }

  pdf::TkvPDFDocument& doc_;
};

}  // namespace

std::unique_ptr<TPageSource> MakePDFDocPages(pdf::TkvPDFDocument& doc) {
  return std::make_unique<TPDFDocPages>(doc);
}

}  // namespace converter
