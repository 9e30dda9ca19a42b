#include "pdf/kvCstPDFDoc.h"

#include <cerrno>

#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFPageOps.h"
#include "pdf/kvPDFParsers.h"
#include "pdf/kvPDFTypes.h"

namespace pdf {

namespace {

// One counter for the whole library: every document state takes the next
// number, so objects of different documents never share a key.
uint32_t gDocumentCounter = 100;

TkvSetupDialogRunner& SetupDialogRunner() {
  static TkvSetupDialogRunner runner;
  return runner;
}

TkvShellOpener& ShellOpener() {
  static TkvShellOpener opener;
  return opener;
}

}  // namespace

void SetSetupDialogRunner(TkvSetupDialogRunner runner) {
  SetupDialogRunner() = std::move(runner);
}

void SetShellOpener(TkvShellOpener opener) {
  ShellOpener() = std::move(opener);
}

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

uint32_t TkvCustomPDFDocument::CurrentDocumentID() {
  return gDocumentCounter;
}

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
  Outlines.reset();
  FormFields.reset();
  ObjectStore = std::make_unique<TkvPDFObjectStore>();
  PageList.clear();
  XRefTable.clear();
  Decryptor.reset();
  Encryptor.reset();
  Encryption = std::make_unique<TkvPDFEncryptionSettings>();
  Encryption->SetEnabled(false);
  Encryption->SetLevel(el40bit);
  Encryption->SetOwnerPassword("");
  Encryption->SetUserPassword("");
  DocInfo = std::make_unique<TkvPDFInfo>(this);
  Catalog = std::make_unique<TkvPDFCatalog>();
  Trailer = std::make_unique<TkvPDFTrailer>();
}

void TkvCustomPDFDocument::FreeDocumentState() {
  // The page list and the form fields borrow from the store: they go first.
  PageList.clear();
  FormFields.reset();
  Outlines.reset();
  DestinationList.reset();
  OutlineStore.reset();
  PendingID.reset();
  Trailer.reset();
  Catalog.reset();
  DocInfo.reset();
  Encryption.reset();
  Encryptor.reset();
  Decryptor.reset();
  Compression = TkvCompression{};
  AsciiEncode = TkvASCIIEncode{};
  XRefTable.clear();
  Reader.reset();
  ObjectStore.reset();
}

void TkvCustomPDFDocument::CloseDocument() {
  FreeDocumentState();
  InitDocumentState();
}

int TkvCustomPDFDocument::RunSetupDialog() {
  if (!ShowSetupDialog) return kModalOk;
  if (SetupDialogRunner()) return SetupDialogRunner()(*this);
  return kModalOk;
}

void TkvCustomPDFDocument::OpenSavedFile(const std::string& fileName) {
  // The file is complete and in place by now: an open that fails is worth a
  // warning, never a failed save.
  std::string reason;
  if (!ShellOpener()) {
    reason = rtl::SysErrorMessage(ENOSYS);
  } else {
    try {
      if (const int error = ShellOpener()(fileName); error != 0) reason = rtl::SysErrorMessage(error);
    } catch (const std::exception& e) {
      reason = e.what();
    }
  }
  if (!reason.empty()) Warning(rtl::Format(rtl::SFOpenError, {fileName, reason}));
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
