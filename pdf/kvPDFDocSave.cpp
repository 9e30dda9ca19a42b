// The component's save: the settings dialog step, then the writer over a
// view of the document's state.
#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDocWriter.h"
#include "pdf/kvPDFPageOps.h"
#include "pdf/kvPDFTypes.h"

namespace pdf {

void TkvCustomPDFDocument::SaveToFile(const std::string& FileName) {
  if (RunSetupDialog() == kModalCancel) return;
  TkvDocumentToWrite w;
  w.PDFVersion = PDFVersion;
  w.DocumentID = DocumentID;
  for (int i = 0; i < ObjectStore->ObjectCount(); ++i) w.Objects.push_back(ObjectStore->ObjectAt(i));
  w.Pages = PageList;
  w.NextObjectNumber = [this] { return ObjectStore->NextObjectNumber(); };
  w.Metadata = Catalog->Metadata.get();
  w.Names = Catalog->Names.get();
  w.OutlinesRef = Catalog->OutlinesRef.get();
  w.AcroForm = Catalog->AcroForm.get();
  w.OpenAction = Catalog->OpenAction.get();
  w.AA = Catalog->AA.get();
  w.OCProperties = Catalog->OCProperties.get();
  w.ViewerPreferencesText = Catalog->Preferences->ViewerPreferencesText();
  w.PageMode = PageMode;
  w.PageLayout = PageLayout;
  w.Outlines = Outlines.get();
  w.Info = DocInfo->InfoDictionary();
  w.CreationDate = DocInfo->CreationDate();
  w.TrailerID = &Trailer->FileID;
  w.Encryption = Encryption.get();
  w.Encryptor = &Encryptor;
  w.Compression = Compression;
  w.AsciiEncode = AsciiEncode;
  w.OnStatusMessage = [this](const std::string& m) { StatusMessage(m); };
  w.OnWarning = [this](const std::string& m) { Warning(m); };
  w.OnIOProgress = [this](int p) { IOProgress(p); };
  if (OpenAfterSave) w.OnWritten = [this](const std::string& name) { OpenSavedFile(name); };
  SaveDocumentToFile(w, FileName);
}

void TkvCustomPDFDocument::PatchMetadataPageCount() {
  if (!Catalog->Metadata) return;
  if (TkvPDFStreamObject* stream = ObjectStore->FetchStream(Catalog->Metadata.get()))
    pdf::PatchMetadataPageCount(*stream, PageCount());
}

}  // namespace pdf
