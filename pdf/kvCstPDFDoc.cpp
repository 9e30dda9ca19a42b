#include "pdf/kvCstPDFDoc.h"

#include "pdf/kvPDFObjects.h"

namespace pdf {

namespace {

// One counter for the whole library: every document state takes the next
// number, so objects of different documents never share a key.
uint32_t gDocumentCounter = 100;

TkvSetupDialogRunner& SetupDialogRunner() {
  static TkvSetupDialogRunner runner;
  return runner;
}

}  // namespace

void SetSetupDialogRunner(TkvSetupDialogRunner runner) { SetupDialogRunner() = std::move(runner); }

TkvCustomPDFDocument::TkvCustomPDFDocument(rtl::TComponent* owner) : TkvComponent(owner) {
  MeasurementUnit = muPixels;
  eMailInfo_ = std::make_unique<TkvEMailInfo>();
  TkvCustomPDFDocument::InitDocumentState();
  ShowSetupDialog = true;
  MergeOptions = {moIncludeOutlines, moIncludeFormFields};
}

TkvCustomPDFDocument::~TkvCustomPDFDocument() {
  eMailInfo_.reset();
  TkvCustomPDFDocument::FreeDocumentState();
}

uint32_t TkvCustomPDFDocument::CurrentDocumentID() { return gDocumentCounter; }

void TkvCustomPDFDocument::InitDocumentState() {
  DocumentID = ++gDocumentCounter;
  WriteObjectCounter = 3;
  OutlineCount = 0;
  IsLoaded = false;
  WorkFileName.clear();
  SaveStateStreamNum = -1;
  RestoreStateStreamNum = -1;
  Compression = TkvCompression{};
  AsciiEncode = TkvASCIIEncode{};
  PDFVersion = pvPDF14;
  Decryptor.reset();
  Encryptor.reset();
  Encryption = std::make_unique<TkvPDFEncryptionSettings>();
  Encryption->SetEnabled(false);
  Encryption->SetLevel(el40bit);
  Encryption->SetOwnerPassword("");
  Encryption->SetUserPassword("");
  DocInfo = std::make_unique<TkvPDFInfo>(this);
}

void TkvCustomPDFDocument::FreeDocumentState() {
  DocInfo.reset();
  Encryption.reset();
  Encryptor.reset();
  Decryptor.reset();
}

void TkvCustomPDFDocument::CloseDocument() {
  FreeDocumentState();
  InitDocumentState();
}

int32_t TkvCustomPDFDocument::GetPageCount() const { return 0; }

int TkvCustomPDFDocument::RunSetupDialog() {
  if (!ShowSetupDialog) return kModalOk;
  if (SetupDialogRunner()) return SetupDialogRunner()(*this);
  return kModalOk;
}

void TkvCustomPDFDocument::SetEMailInfo(std::unique_ptr<TkvEMailInfo> info) {
  if (info) eMailInfo_ = std::move(info);
}

void TkvCustomPDFDocument::StatusMessage(const std::string& text) {
  if (OnStatusMessage) OnStatusMessage(this, text);
}

void TkvCustomPDFDocument::Warning(const std::string& text) {
  if (OnWarning) OnWarning(this, text);
}

void TkvCustomPDFDocument::IOProgress(int percentage) {
  if (OnIOProgress) OnIOProgress(this, percentage);
}

}  // namespace pdf
