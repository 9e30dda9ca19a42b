#include "converter/PageSource.h"

#include "pdf/kvPDFDoc.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

namespace {

// Each call is made through a template so that the document component's
// interface is checked where it is used: an operation that the component
// does not offer raises a clear error instead of failing the build.
inline constexpr const char* kNoOperation = "The PDF library cannot %s";

template <typename Doc>
void Load(Doc& doc, const std::string& path) {
  if constexpr (requires { doc.LoadFromFile(path); })
    doc.LoadFromFile(path);
  else
    throw rtl::Exception(rtl::Format(kNoOperation, {"read documents"}));
}

template <typename Doc>
void Outlines(Doc& doc) {
  if constexpr (requires { doc.FreeOutlines(); }) doc.FreeOutlines();
}

template <typename Doc>
void Extract(Doc& doc, const std::string& file, int page) {
  if constexpr (requires { doc.ExtractPages(file, std::string()); })
    doc.ExtractPages(file, rtl::IntToStr(page));
  else
    throw rtl::Exception(rtl::Format(kNoOperation, {"extract pages"}));
}

template <typename Doc>
TPageBox Size(Doc& doc, int page) {
  TPageBox box;
  if constexpr (requires { doc.GetPageSize(page).X2; }) {
    auto s = doc.GetPageSize(page);
    box = {s.X1, s.Y1, s.X2, s.Y2};
  } else {
    throw rtl::Exception(rtl::Format(kNoOperation, {"measure pages"}));
  }
  return box;
}

template <typename Doc>
int Rotation(Doc& doc, int page) {
  if constexpr (requires { doc.GetPageRotation(page); })
    return static_cast<int>(doc.GetPageRotation(page));
  else
    throw rtl::Exception(rtl::Format(kNoOperation, {"read page rotations"}));
}

class TPDFDocPages : public TPageSource {
 public:
  explicit TPDFDocPages(pdf::TkvPDFDocument& doc) : doc_(doc) {}
  void LoadFromFile(const std::string& path) override { Load(doc_, path); }
  int PageCount() override { return doc_.PageCount(); }
  void FreeOutlines() override { Outlines(doc_); }
  void ExtractPage(const std::string& pageFile, int page) override {
    doc_.ShowSetupDialog = false;
    Extract(doc_, pageFile, page);
  }
  TPageBox PageSize(int page) override {
    doc_.MeasurementUnit = pdf::muMM;
    return Size(doc_, page);
  }
  int PageRotation(int page) override { return Rotation(doc_, page); }

 private:
  pdf::TkvPDFDocument& doc_;
};

}  // namespace

std::unique_ptr<TPageSource> MakePDFDocPages(pdf::TkvPDFDocument& doc) { return std::make_unique<TPDFDocPages>(doc); }

}  // namespace converter
