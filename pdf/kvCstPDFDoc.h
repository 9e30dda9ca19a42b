// The document component: the one object through which a program uses the
// PDF library. It loads a PDF file into memory, exposes its pages, extracts
// pages into new documents and writes a document back to a file.
//
// Ownership: the component owns its per-document state (created by
// InitDocumentState, released by FreeDocumentState) and its EMailInfo.
// Objects returned by lookups stay owned by the component. Components created
// with this document as owner (the temporary document of a page extraction)
// are freed with it.
//
// Reading lives in kvPDFDocReader.cpp, page operations in kvPDFPageOps.cpp,
// information, units and page ranges in kvPDFInfo.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "pdf/kvClasses.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFInfo.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

// ---------------------------------------------------------------------------
// Exceptions of the document unit.

using rtl::Exception;
RTL_DECLARE_EXCEPTION(EPDFException, Exception);
RTL_DECLARE_EXCEPTION(ECrossReferenceError, EPDFException);
// Distinct from the lower layers' class of the same name (pdf::
// EUnexpectedObjectError): the document unit raises its own, qualified by
// the unit's name.
namespace kvCstPDFDoc {
RTL_DECLARE_EXCEPTION(EUnexpectedObjectError, EPDFException);
}  // namespace kvCstPDFDoc
RTL_DECLARE_EXCEPTION(EPasswordError, EPDFException);
RTL_DECLARE_EXCEPTION(EInvalidPageError, EPDFException);
RTL_DECLARE_EXCEPTION(EUnsupportedImageError, EPDFException);
RTL_DECLARE_EXCEPTION(EUnsupportedFontError, EPDFException);

inline constexpr const char* SCrossReferenceError = "Error reading cross-reference table";
inline constexpr const char* SUnexpectedObject = "Unexpected PDF object encountered";
inline constexpr const char* SWrongPassword = "Wrong password.";
inline constexpr const char* SInvalidPageNumber = "Invalid page number (%d)";
inline constexpr const char* SInvalidPageRange = "Invalid page range (%s)";
inline constexpr const char* SUnsupportedImage = "Unsupported image format (%s)";
inline constexpr const char* SUnsupportedFont = "Unsupported Font (%s)";

// ---------------------------------------------------------------------------
// Enumerations and settings records.

enum TkvPDFVersion : uint8_t { pvPDF10 = 0, pvPDF11, pvPDF12, pvPDF13, pvPDF14, pvPDF15 };
enum TkvPageMode : uint8_t { pmNone = 0, pmUseOutlines, pmUseThumbs, pmFullScreen };
enum TkvPageLayout : uint8_t { plNone = 0, plSinglePage, plOneColumn, plTwoColumnLeft, plTwoColumnRight };
enum TkvMergeOptionsType : uint8_t { moIncludeOutlines = 0, moIncludeFormFields, moRenameLikeNameFields };

// A set of merge options, one bit per element.
class TkvMergeOptions {
 public:
  constexpr TkvMergeOptions() = default;
  constexpr TkvMergeOptions(std::initializer_list<TkvMergeOptionsType> items) {
    for (auto i : items) bits_ |= static_cast<uint8_t>(1u << i);
  }
  constexpr bool Contains(TkvMergeOptionsType t) const { return (bits_ >> t) & 1u; }
  constexpr void Include(TkvMergeOptionsType t) { bits_ |= static_cast<uint8_t>(1u << t); }
  constexpr void Exclude(TkvMergeOptionsType t) { bits_ &= static_cast<uint8_t>(~(1u << t)); }
  constexpr bool operator==(const TkvMergeOptions&) const = default;
  constexpr uint8_t Bits() const { return bits_; }

 private:
  uint8_t bits_ = 0;
};

// The writer's compression and ASCII-encoding switches (off after init).
struct TkvCompression {
  uint8_t Enabled = 0;
  uint8_t Kind = 0;  // 0 Flate, 1 RunLength
  uint8_t Level = 0;
};
struct TkvASCIIEncode {
  uint8_t Enabled = 0;
  uint8_t Kind = 0;  // 0 ASCIIHex, 1 ASCII85
};

// Operation codes of OnOperationProgress.
using TkvOperation = uint8_t;
inline constexpr TkvOperation opExtractPages = 3;

// Modal results of the settings dialog seam.
inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

// The four /MediaBox numbers of a page in array order, in the document's
// measurement unit.
struct TkvPageSize {
  double X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
};

// ---------------------------------------------------------------------------
// Events: called synchronously and only when assigned.

class TkvCustomPDFDocument;
class TkvPDFObject;
class TkvPDFArrayObject;
class TkvPDFDictObject;
class TkvPDFIndirectObject;
class TkvPDFIndirectReference;
class TkvPDFStreamReader;
class TkvPDFObjectStore;
class TkvXRefItem;
class TkvPDFTrailer;
class TkvStoredDataSource;
class TkvPDFCatalog;
class TkvPDFViewerPreferences;
class TkvPDFDecrypt;
class TkvPDFEncryption;
class TkvPDFEncryptionSettings;
class TkvPDFOutline;
class TkvAcroFormField;
class TkvFontInfo;
class TkvPDFInfo;
class TkvPageClosure;
class TkvWatermarkTemplate;

using TNotifyEvent = std::function<void(rtl::TPersistent* Sender)>;
using TkvProgressEvent = std::function<void(TkvCustomPDFDocument* Sender, int Percentage)>;
using TkvStatusMessageEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::string& StatMsg)>;
using TkvWarningEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::string& Warning)>;
using TkvOperationProgressEvent = std::function<void(
    TkvCustomPDFDocument* Sender, TkvOperation CurrentOperation, int CurrentCount, int TotalCount)>;
using TkvPasswordEvent = std::function<void(rtl::TPersistent* Sender, std::string& Password, bool& Continue)>;
using TkvOnCalcVariablesEvent = std::function<void(
    TkvCustomPDFDocument* Sender, const std::u16string& Variable, std::u16string& Value, int PageNo)>;
using TkvOnRenameFieldEvent = std::function<void(
    TkvCustomPDFDocument* Sender, const std::string& OldFieldName, std::string& NewFieldName, bool& Rename)>;

// The settings dialog is shown through this seam: SaveToFile calls it when
// ShowSetupDialog is True. Unset (a program without the dialog), saving goes
// on as if the dialog had been confirmed.
using TkvSetupDialogRunner = std::function<int(TkvCustomPDFDocument& Document)>;
void SetSetupDialogRunner(TkvSetupDialogRunner runner);

// A saved file is opened with the desktop shell through this seam: SaveToFile
// calls it when OpenAfterSave is True, with the name written. It returns 0
// or the system's error code. The library does not reach the desktop shell
// itself; a program installs the shell's open (the converter does at start).
// Unset, a save with OpenAfterSave reports a warning that it cannot open
// the file.
using TkvShellOpener = std::function<int(const std::string& FileName)>;
void SetShellOpener(TkvShellOpener opener);

// Named destinations: the name (without delimiters) with its explicit
// destination. Looked up by exact name; the first entry of a name wins.
class TkvDestinationList {
 public:
  TkvDestinationList();
  ~TkvDestinationList();
  void Add(const std::string& name, std::unique_ptr<TkvPDFObject> dest);
  // Borrowed; nullptr when the name is not listed.
  const TkvPDFObject* Find(const std::string& name) const;
  int Count() const { return static_cast<int>(entries_.size()); }
  const std::string& NameAt(int i) const { return entries_[static_cast<size_t>(i)].first; }

 private:
  std::vector<std::pair<std::string, std::unique_ptr<TkvPDFObject>>> entries_;
  std::unordered_map<std::string, size_t> index_;
};

class TkvCustomPDFDocument : public TkvComponent {
 public:
  explicit TkvCustomPDFDocument(rtl::TComponent* owner = nullptr);
  ~TkvCustomPDFDocument() override;

  // --- document state ---
  virtual void FreeDocumentState();
  virtual void InitDocumentState();
  // Drops the loaded document and starts a fresh empty one.
  void CloseDocument();

  int32_t PageCount() const { return GetPageCount(); }
  int32_t GetPageCount() const { return static_cast<int32_t>(PageList.size()); }
  static uint32_t CurrentDocumentID();

  void SetMeasurementUnit(TkvMeasurementUnit unit) { MeasurementUnit = unit; }
  double PointsToUnit(double points) const { return pdf::PointsToUnit(MeasurementUnit, points); }
  double UnitToPoints(double value) const { return pdf::UnitToPoints(MeasurementUnit, value); }

  TkvEMailInfo* EMailInfo() const { return eMailInfo_.get(); }
  // Takes the given settings over; the ones held before are freed.
  void SetEMailInfo(std::unique_ptr<TkvEMailInfo> info);
  // True when not encrypted, or opened with the owner password.
  bool IsOwner() const;
  TkvPDFViewerPreferences* ViewerPreferences() const;

  // --- reading (kvPDFDocReader.cpp) ---
  // Loads a file (".pdf" is appended to a name without extension). An
  // encrypted file asks OnPassword once. Result: IsLoaded.
  bool LoadFromFile(const std::string& FileName);
  // The same over a stream the caller owns (it must outlive the call only).
  bool LoadFromStream(rtl::TStream& Source);
  void LoadWithPassword(const std::string& Password);
  // Sets up the decryptor of an encrypted file and opens it with the
  // password, as owner first: EPasswordError when neither fits.
  void AuthenticatePassword(const std::string& Password);
  void ReadDocument();
  void OpenDocument(rtl::TStream& Source);
  void ReadCrossReference();
  void ReadXRefSection(int32_t Offset);
  // Whether a cross-reference stream starts at Offset.
  bool IsXRefStreamAt(int32_t Offset);
  // The entries of the one section at the offset into XRefTable.
  void ReadXRefEntries(int32_t Offset);
  // Parses the indirect object at the reader's position (with its stream
  // data); nullptr at position 0.
  std::unique_ptr<TkvPDFIndirectObject> ReadIndirectObjectAt();
  // The object of that cross-reference entry, read from the file and kept in
  // the store with one reference more (borrowed); nullptr for a free entry.
  // Only while the file is open for reading.
  TkvPDFIndirectObject* LoadObjectByNumber(int32_t Index);
  // Loads everything the value references into ObjectStore.
  void CollectObjects(TkvPDFObject* Value);
  // A copy of the named destination's array, or nullptr.
  std::unique_ptr<TkvPDFObject> FindNamedDestination(const std::string& Name) const;

  // --- page operations (kvPDFPageOps.cpp) ---
  // The page-object closure: copies of the page and every object it needs,
  // other pages excluded.
  virtual std::unique_ptr<TkvPageClosure> GetPageObjects(int32_t PageNumber);
  virtual void CollectReferencedObjects(TkvPageClosure& List, const TkvPDFObject* Object);
  void ExtractPagesTo(TkvCustomPDFDocument& Dest, const std::string& PageRange);
  void ExtractPages(const std::string& FileName, const std::string& PageRange);
  void GetPageSize(int32_t PageNumber, TkvPageSize& Size);
  int32_t GetPageRotation(int32_t PageNumber);
  void FreeOutlines();
  void SetPageTransition(const std::string& PageRange, uint8_t Effect, float Duration);
  static std::unique_ptr<TkvPDFDictObject> MakeTransition(uint8_t Effect, float Duration);
  void SetCompression(uint8_t Kind, uint8_t Level);
  void GetMetadataText(std::string& Text);
  void MergePageFormFields(TkvCustomPDFDocument& Source, TkvPDFDictObject& PageDict);
  std::string MakeUniqueFieldName(const std::string& Base) const;
  TkvPDFDictObject* MergeDefaultResources(const TkvPDFDictObject* Src, TkvPDFDictObject* Dst);
  void CollectFieldStates(TkvAcroFormField* Field, const TkvPDFDictObject* WidgetDict);
  std::unique_ptr<TkvFontInfo> FontInfoFromDA(const std::string& DA, const TkvPDFDictObject* FontDict);

  // --- stamping (kvPDFWatermark.cpp) ---
  // Stamps the template's text or image on the pages of the range. Every
  // page is checked before the first is changed.
  void ApplyWatermark(TkvWatermarkTemplate& Template, const std::string& PageRange);

  // --- writing (the writer unit) ---
  // Shows the settings dialog when ShowSetupDialog is set; 1 (OK) at once
  // otherwise.
  int RunSetupDialog();
  // Writes the document (see the writer unit); with OpenAfterSave the file
  // is then opened through the shell-opener seam. A failed open is reported
  // by OnWarning and does not fail the save.
  void SaveToFile(const std::string& FileName);
  void PatchMetadataPageCount();

  // --- resources and stream encoding (kvPDFResources.cpp) ---
  // New objects go into the store under the next object number; the
  // references returned belong to the caller.
  // A bitmap or JPEG image as an RGB image XObject; another graphic class
  // raises EUnsupportedImageError.
  std::unique_ptr<TkvPDFIndirectReference> AddImageXObject(const graphics::TGraphic& Graphic,
                                                           const std::string& Name);
  // The pixels as RGB bytes, top row first, no row padding.
  static std::unique_ptr<rtl::TMemoryStream> BitmapToRGBData(const graphics::TBitmap& Bitmap);
  // The whole of Source deflated onto Dest; returns the bytes added.
  static int64_t CompressToStream(rtl::TMemoryStream& Source, rtl::TStream& Dest);
  // A font dictionary for Font (EmbedMode 0 none, 1 whole, 2 subset of the
  // glyphs of Text); a matching font already on a page is reused.
  std::unique_ptr<TkvPDFIndirectReference> AddFontResource(const graphics::TFont& Font,
                                                           const std::string& Name, uint8_t EmbedMode,
                                                           uint8_t EncodingIndex, const std::u16string& Text);
  static std::string StyledFontName(const graphics::TFont& Font);
  std::string CompressStreamData(TkvPDFDictObject& Dict, const std::string& Data) const;
  std::string ASCIIEncodeStreamData(TkvPDFDictObject& Dict, const std::string& Data) const;
  std::string DecodeStreamData(TkvPDFDictObject& Dict, const std::string& Data) const;
  // FE FF and UTF-16BE, escaped for use between parentheses. Strings are
  // encrypted once, by the writer, never here.
  static std::string EncodeTextString(const std::u16string& Text, int32_t ObjectNumber);
  static std::u16string DecodeTextString(const std::string& Text);

  // --- fields (the design's declaration order) ---
  uint32_t DocumentID = 0;
  std::string WorkFileName;
  TkvPDFVersion PDFVersion = pvPDF14;
  std::unique_ptr<TkvPDFStreamReader> Reader;
  // One entry per object number; nullptr where no subsection lists the
  // number (it is free).
  std::vector<std::unique_ptr<TkvXRefItem>> XRefTable;
  TkvMeasurementUnit MeasurementUnit = muPixels;
  std::unique_ptr<TkvPDFOutline> Outlines;
  bool IsLoaded = false;
  bool IsEncrypted = false;
  TkvCompression Compression;
  TkvASCIIEncode AsciiEncode;
  TkvPageLayout PageLayout = plNone;
  TkvPageMode PageMode = pmNone;
  std::unique_ptr<TkvPDFDecrypt> Decryptor;
  std::unique_ptr<TkvPDFEncryptionSettings> Encryption;
  std::unique_ptr<TkvPDFEncryption> Encryptor;
  std::unique_ptr<TkvPDFObjectStore> ObjectStore;
  std::unique_ptr<TkvPDFObjectStore> OutlineStore;
  std::unique_ptr<TkvPDFObject> PendingID;
  // The page objects in page order; borrowed from ObjectStore.
  std::vector<TkvPDFIndirectObject*> PageList;
  std::unique_ptr<TkvPDFTrailer> Trailer;
  std::unique_ptr<TkvPDFInfo> DocInfo;
  std::unique_ptr<TkvPDFCatalog> Catalog;
  std::unique_ptr<TkvDestinationList> DestinationList;
  int32_t OutlineCount = 0;
  // Kept for callers that set it. Either way LoadFromFile reads the file
  // through a buffered window and leaves the bodies of streams in the file
  // (which stays open while any of them is unread), so that loading costs
  // memory for what is parsed, not for the file's image data.
  bool UseFileStreams = false;
  int32_t WriteObjectCounter = 3;
  bool OpenAfterSave = false;
  TkvMergeOptions MergeOptions;
  bool ShowSetupDialog = true;

  TkvProgressEvent OnIOProgress;
  TkvStatusMessageEvent OnStatusMessage;
  TkvWarningEvent OnWarning;
  TkvOperationProgressEvent OnOperationProgress;
  TkvPasswordEvent OnPassword;
  TkvOnCalcVariablesEvent OnCalcVariables;
  TNotifyEvent OnBeginRead;
  TNotifyEvent OnEndRead;
  TkvOnRenameFieldEvent OnRenameField;

  bool EMailAfterSave = false;
  // The dialog SaveToFile shows in place of a fresh settings dialog; not
  // owned. The dialog unit fills the runner seam that shows it.
  rtl::TComponent* SetupDialog = nullptr;
  int32_t RootObjNum = 0;
  int32_t InfoObjNum = 0;
  int32_t PagesObjNum = 0;
  int32_t SaveStateStreamNum = -1;
  int32_t RestoreStateStreamNum = -1;
  // Form fields read from /AcroForm; nullptr when the document has none.
  std::unique_ptr<std::vector<std::unique_ptr<TkvAcroFormField>>> FormFields;

  // Bounds of the structures a file can nest or chain (page tree, outline
  // and field trees, name trees): deep enough for any real file, shallow
  // enough for the stack.
  static constexpr int kMaxTreeDepth = 256;

 protected:
  // Raise an event only when it is assigned.
  void StatusMessage(const std::string& text);
  void Warning(const std::string& text);
  void IOProgress(int percentage);
  void OpenSavedFile(const std::string& fileName);

 private:
  friend class TkvDocumentReader;
  std::unique_ptr<TkvEMailInfo> eMailInfo_;
  int readNesting_ = 0;
  // Offsets of the stream objects whose dictionaries are being collected
  // while they are read.
  std::unordered_set<int64_t> streamsBeingRead_;
  // While LoadFromFile reads an unencrypted file: the file, where stream
  // bodies are left to be read when they are asked for.
  std::shared_ptr<TkvStoredDataSource> pendingSource_;
};

}  // namespace pdf
