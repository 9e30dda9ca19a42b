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
#include <vector>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"
#include "pdf/kvClasses.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFInfo.h"

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

inline constexpr const char* SCrossReferenceError = "Error reading cross-referenece table";
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
  uint8_t Kind = 0;   // 0 Flate, 1 RunLength
  uint8_t Level = 0;
};
struct TkvASCIIEncode {
  uint8_t Enabled = 0;
  uint8_t Kind = 0;   // 0 ASCIIHex, 1 ASCII85
};

// Operation codes of OnOperationProgress.
using TkvOperation = uint8_t;
inline constexpr TkvOperation opExtractPages = 3;

// Modal results of the settings dialog seam.
inline constexpr int kModalOk = 1;
inline constexpr int kModalCancel = 2;

// ---------------------------------------------------------------------------
// Events: called synchronously and only when assigned.

class TkvCustomPDFDocument;

using TNotifyEvent = std::function<void(rtl::TPersistent* Sender)>;
using TkvProgressEvent = std::function<void(TkvCustomPDFDocument* Sender, int Percentage)>;
using TkvStatusMessageEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::string& StatMsg)>;
using TkvWarningEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::string& Warning)>;
using TkvOperationProgressEvent =
    std::function<void(TkvCustomPDFDocument* Sender, TkvOperation CurrentOperation, int CurrentCount, int TotalCount)>;
using TkvPasswordEvent = std::function<void(rtl::TPersistent* Sender, std::string& Password, bool& Continue)>;
using TkvOnCalcVariablesEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::u16string& Variable,
                                                   std::u16string& Value, int PageNo)>;
using TkvOnRenameFieldEvent = std::function<void(TkvCustomPDFDocument* Sender, const std::string& OldFieldName,
                                                 std::string& NewFieldName, bool& Rename)>;

// The settings dialog is shown through this seam: SaveToFile calls it when
// ShowSetupDialog is True. Unset (a program without the dialog), saving goes
// on as if the dialog had been confirmed.
using TkvSetupDialogRunner = std::function<int(TkvCustomPDFDocument& Document)>;
void SetSetupDialogRunner(TkvSetupDialogRunner runner);

// ---------------------------------------------------------------------------

class TkvCustomPDFDocument : public TkvComponent {
 public:
  explicit TkvCustomPDFDocument(rtl::TComponent* owner = nullptr);
  ~TkvCustomPDFDocument() override;

  // Document state.
  virtual void FreeDocumentState();
  virtual void InitDocumentState();
  void CloseDocument();

  int32_t PageCount() const { return GetPageCount(); }
  int32_t GetPageCount() const;
  static uint32_t CurrentDocumentID();

  void SetMeasurementUnit(TkvMeasurementUnit unit) { MeasurementUnit = unit; }
  double PointsToUnit(double points) const { return pdf::PointsToUnit(MeasurementUnit, points); }
  double UnitToPoints(double value) const { return pdf::UnitToPoints(MeasurementUnit, value); }

  // Shows the settings dialog when ShowSetupDialog is set; 1 (OK) at once
  // otherwise.
  int RunSetupDialog();

  TkvEMailInfo* EMailInfo() const { return eMailInfo_.get(); }
  // Takes the given settings over; the one held before is freed.
  void SetEMailInfo(std::unique_ptr<TkvEMailInfo> info);

  // --- fields (declaration order of the design) ---
  uint32_t DocumentID = 0;
  std::string WorkFileName;
  TkvPDFVersion PDFVersion = pvPDF14;
  TkvMeasurementUnit MeasurementUnit = muPixels;
  bool IsLoaded = false;
  bool IsEncrypted = false;
  TkvCompression Compression;
  TkvASCIIEncode AsciiEncode;
  TkvPageLayout PageLayout = plNone;
  TkvPageMode PageMode = pmNone;
  std::unique_ptr<TkvPDFDecrypt> Decryptor;
  std::unique_ptr<TkvPDFEncryptionSettings> Encryption;
  std::unique_ptr<TkvPDFEncryption> Encryptor;
  std::unique_ptr<TkvPDFInfo> DocInfo;
  int32_t OutlineCount = 0;
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
  // owned. Only its presence is consulted here: the dialog unit fills the
  // runner seam.
  rtl::TComponent* SetupDialog = nullptr;
  int32_t RootObjNum = 0;
  int32_t InfoObjNum = 0;
  int32_t PagesObjNum = 0;
  int32_t SaveStateStreamNum = -1;
  int32_t RestoreStateStreamNum = -1;

 protected:
  // Raises an event only when it is assigned.
  void StatusMessage(const std::string& text);
  void Warning(const std::string& text);
  void IOProgress(int percentage);

 private:
  std::unique_ptr<TkvEMailInfo> eMailInfo_;
};

}  // namespace pdf
