// Writing a whole document afresh: one header, every used object once under
// a new number, one cross-reference table, one trailer. The catalog, the
// information dictionary and the page tree are generated as objects 1, 2
// and 3; everything else is numbered from 4 in store order, then the
// outline objects built for the save, then the encryption dictionary.
//
// The writer works on TkvDocumentToWrite, a view of the document component's
// state that borrows everything; the component fills it, and the writer
// changes only what a save changes (numbers written, the information
// dictionary's /Producer, the trailer's /ID under encryption, the outline
// items' numbers, the encryptor slot).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFTypes.h"
#include "pdf/kvPDFUtils.h"
#include "platform/rtl/Classes.h"

namespace pdf {

// Every save names this system as the producer.
inline constexpr const char* kProducerText = "Veltrane Pagewright V2.02";
// The fixed seed of the file identifier beside the creation date.
inline constexpr const char* kFileIDSeed = "Output1.pdf";
inline constexpr const char* SExpectedPageReference =
    "Expected Page Indirect Reference in Outline Destination!";
// Outline trees deeper than this are cut there: a writer must not recurse
// without bound on a tree read from an untrusted file.
inline constexpr int kMaxOutlineDepth = 256;

// An item of the outline tree as the writer sees it (the document's outline
// class implements it, or an adapter over it does).
class TkvOutlineItemSource {
 public:
  virtual ~TkvOutlineItemSource() = default;
  // The item's copy of its dictionary (/Title, /Dest, /C, /F, /A); borrowed.
  virtual const TkvPDFDictObject* Dictionary() const = 0;
  // Source id, number and generation; ObjNum 0 when the item has none yet.
  virtual TkvObjectKey Key() const = 0;
  virtual void SetKey(const TkvObjectKey& key) = 0;
  virtual bool Closed() const = 0;
  virtual TkvOutlineItemSource* FirstChild() const = 0;
  virtual TkvOutlineItemSource* NextSibling() const = 0;
};

// What a save needs of the document; all pointers are borrowed.
struct TkvDocumentToWrite {
  TkvPDFVersion PDFVersion = pvPDF14;
  uint32_t DocumentID = 0;
  // The object store in store order.
  std::vector<TkvPDFIndirectObject*> Objects;
  // The page objects in page order.
  std::vector<TkvPDFIndirectObject*> Pages;
  // The store's number counter, for outline items that have no number.
  std::function<int32_t()> NextObjectNumber;

  // The catalog record (each may be nullptr).
  const TkvPDFObject* Metadata = nullptr;
  const TkvPDFObject* Names = nullptr;
  const TkvPDFObject* OutlinesRef = nullptr;
  const TkvPDFObject* AcroForm = nullptr;
  const TkvPDFObject* OpenAction = nullptr;
  const TkvPDFObject* AA = nullptr;
  const TkvPDFObject* OCProperties = nullptr;
  std::string ViewerPreferencesText;
  TkvPageMode PageMode = pmNone;
  TkvPageLayout PageLayout = plNone;
  // Root of the outline tree, or nullptr.
  TkvOutlineItemSource* Outlines = nullptr;

  // The information dictionary; /Producer is replaced. nullptr: an
  // information dictionary with the producer alone is written.
  TkvPDFDictObject* Info = nullptr;
  // The creation date text, seed of the file identifier.
  std::string CreationDate;
  // The trailer's /ID; an encrypted save replaces it. May hold nullptr.
  std::unique_ptr<TkvPDFArrayObject>* TrailerID = nullptr;

  const TkvPDFEncryptionSettings* Encryption = nullptr;
  // The document's encryptor; created here when encryption is enabled and
  // the slot is empty.
  std::unique_ptr<TkvPDFEncryption>* Encryptor = nullptr;
  TkvCompression Compression;
  TkvASCIIEncode AsciiEncode;

  std::function<void(const std::string&)> OnStatusMessage;
  std::function<void(const std::string&)> OnWarning;
  std::function<void(int percentage)> OnIOProgress;
  // Called by SaveDocumentToFile with the name written, once the file is
  // complete and in place, before "Save Complete" is reported.
  std::function<void(const std::string& fileName)> OnWritten;
};

// One save of one document. Not reusable across documents.
class TkvPDFDocWriter {
 public:
  explicit TkvPDFDocWriter(TkvDocumentToWrite& document);
  ~TkvPDFDocWriter();
  TkvPDFDocWriter(const TkvPDFDocWriter&) = delete;
  TkvPDFDocWriter& operator=(const TkvPDFDocWriter&) = delete;

  // The whole file, written strictly forward into output.
  void WriteDocument(rtl::TStream& output);

  // The text of one value; objectNumber -1 writes strings unencrypted.
  std::string SerializeObject(const TkvPDFObject* value, int32_t objectNumber);

 private:
  void Status(const std::string& text);
  void Progress(int percentage);
  bool Encrypting() const;
  void CreateEncryptor();
  std::string FileIDSeed() const;
  // Numbers after the three fixed ones (catalog, information, page tree).
  int32_t NextWriteNumber() { return ++writeObjectCounter_; }
  std::string BuildEncryptDictionary() const;
  void IndexObjects();
  void BuildOutlines();
  std::vector<TkvOutlineItemSource*> KeptSiblings(TkvOutlineItemSource* first);
  TkvObjectKey BuildOutlineItems(TkvOutlineItemSource* first, const TkvObjectKey& parent, int depth,
                                 int& count, TkvObjectKey& firstKey);
  TkvPDFIndirectObject* Resolve(const TkvPDFIndirectReference& ref) const;
  void WriteText(const std::string& text);
  // "N 0 obj", the body, then, for a stream, its data and "endstream" (the
  // body ends with the stream keyword), then "endobj".
  void WriteObjectText(int32_t number, const std::string& body, const std::string* data = nullptr);
  void WriteIndirectObject(TkvPDFIndirectObject& obj);
  void WriteHeader();
  void WriteCatalogAndInfo();
  void WritePages();
  void WriteXRefAndTrailer();
  std::string SerializeString(const TkvPDFStringObject& s, int32_t objectNumber);
  std::string SerializeStream(const TkvPDFStreamObject& s, int32_t objectNumber);
  // The stream's dictionary text up to and with "stream" and its line end,
  // and its data as written (compressed, encoded, encrypted as the settings
  // say).
  void SerializeStreamParts(const TkvPDFStreamObject& s, int32_t objectNumber, std::string& text,
                            std::string& data);
  std::string StreamDataForWriting(TkvPDFDictObject& dict, std::string data);
  const TkvPDFObject* Direct(const TkvPDFObject* value) const;

  TkvDocumentToWrite& doc_;
  rtl::TStream* output_ = nullptr;
  int64_t written_ = 0;
  int32_t writeObjectCounter_ = 3;
  std::vector<int64_t> objectOffsets_;
  std::unordered_map<TkvObjectKey, TkvPDFIndirectObject*, TkvObjectKeyHash> storeIndex_;
  // The outline objects built for this save, and their index.
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> outlineStore_;
  std::unordered_map<TkvObjectKey, TkvPDFIndirectObject*, TkvObjectKeyHash> outlineIndex_;
  std::unique_ptr<TkvPDFIndirectReference> outlinesRoot_;
  std::unique_ptr<TkvPDFEncryption> ownEncryptor_;  // when the document has no slot
  TkvPDFEncryption* encryptor_ = nullptr;
};

// Fills what the object store, the catalog record and the trailer give a
// save: the objects in store order, the store's number counter, the
// catalog entries with the viewer preferences, and the trailer's /ID slot.
// The rest (pages, information, encryption, switches, events) is the
// component's to set.
void DescribeDocumentRecords(TkvDocumentToWrite& document, TkvPDFObjectStore& store,
                             const TkvPDFCatalog& catalog, TkvPDFTrailer& trailer);

// The name a save writes: ".pdf" appended unless the extension already is
// ".pdf" in any case.
std::string PDFSaveFileName(const std::string& fileName);

// Writes the document into fileName (named as PDFSaveFileName says) through
// a temporary file beside it that replaces the target only once complete:
// a failed save leaves an existing file as it was, and a file that is
// replaced has the new bytes on disk before it is. Reports "Saving File %s"
// and "Save Complete". Returns the name written. Failing to create the file
// raises rtl::EFCreateError.
std::string SaveDocumentToFile(TkvDocumentToWrite& document, const std::string& fileName);

// Sets the page count and packet size in an XMP metadata stream and
// rewrites it whole with its new /Length. A filtered stream (one with a
// /Filter) and a packet without "NPages" are left as they are.
void PatchMetadataPageCount(TkvPDFStreamObject& metadata, int32_t pageCount);
// The same on the catalog's /Metadata stream, resolved through the store;
// nothing when the catalog has none.
void PatchMetadataPageCount(const TkvPDFObjectStore& store, const TkvPDFCatalog& catalog, int32_t pageCount);

}  // namespace pdf
