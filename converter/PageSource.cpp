#include "converter/PageSource.h"

#include "converter/FileGuard.h"
#include "pdf/kvPDFDoc.h"
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

 private:
  pdf::TkvPDFDocument& doc_;
};

}  // namespace

std::unique_ptr<TPageSource> MakePDFDocPages(pdf::TkvPDFDocument& doc) {
  return std::make_unique<TPDFDocPages>(doc);
}

}  // namespace converter
