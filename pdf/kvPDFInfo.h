// Small pieces of the document unit that other parts of the library share:
// the measurement units with their conversions, the page-range parser and the
// stored e-mail settings. The document information record lives beside them
// (TkvPDFInfo) once the object model is available.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

namespace pdf {

class TkvCustomPDFDocument;
class TkvPDFDictObject;
class TkvPDFStringObject;

// Unit of the geometry results of a document (PDF space is in points).
enum TkvMeasurementUnit : uint8_t { muPixels = 0, muPoints = 1, muInches = 2, muMM = 3, muTwips = 4 };

// 1-based page numbers in the order a range text names them; duplicates stay.
using TkvPageNumbers = std::vector<int32_t>;

// The millimetre factor is the library's own 2.835 points per millimetre
// (not 72 / 25.4): page sizes that callers compare against are built on it.
inline constexpr long double kPointsPerMillimetre = 2.835L;
inline constexpr long double kPointsPerTwip = 0.05L;
inline constexpr float kPointsPerInch = 72.0f;

double PointsToUnit(TkvMeasurementUnit unit, double points);
double UnitToPoints(TkvMeasurementUnit unit, double value);

// Parses a page-range text such as "1,3,5-12" against a document of
// pageCount pages. An empty text means every page. Items are split like a
// comma text (commas and runs of blanks separate, double quotes group).
// Raises EInvalidPageError for a bad item or a page outside 1..pageCount and
// rtl::EConvertError for a range bound that is not a decimal integer; the
// numbers collected before the failing item stay in pages.
void ParsePageRange(const std::string& text, int32_t pageCount, TkvPageNumbers& pages);

// Splits a text the way a string list takes a comma text.
std::vector<std::string> SplitCommaText(const std::string& text);

// The bytes a string object stands for: a literal string's resolved bytes, or
// the bytes of a hexadecimal string's digits.
std::string StringBytes(const TkvPDFStringObject& s);

// The text of a PDF text string: a string beginning with the bytes FE FF is
// UTF-16BE, any other is text in the system code page. Hexadecimal strings
// are turned into their bytes first.
std::u16string DecodeTextString(const TkvPDFStringObject& s);
// The bytes of a PDF text string for a wide text: FE FF, then UTF-16BE.
std::string EncodeTextBytes(const std::u16string& text);

// The document information, kept in the information dictionary that the
// writer emits as object 2. The dictionary is owned; the document is not.
//
// Values set through the properties are stored as string objects holding
// their exact bytes, so the writer escapes (and, for an encrypted save,
// encrypts) them like every other string.
class TkvPDFInfo : public rtl::TPersistent {
 public:
  explicit TkvPDFInfo(TkvCustomPDFDocument* document);
  ~TkvPDFInfo() override;
  TkvPDFInfo(const TkvPDFInfo&) = delete;
  TkvPDFInfo& operator=(const TkvPDFInfo&) = delete;

  // Takes the dictionary read from a file in place of the current one.
  void SetInfoDictionary(std::unique_ptr<TkvPDFDictObject> dict);
  TkvPDFDictObject* InfoDictionary() const { return infoDictionary_.get(); }
  TkvCustomPDFDocument* Document() const { return document_; }

  std::u16string Title() const { return GetText("/Title", title_); }
  void SetTitle(const std::u16string& v) { SetText("/Title", title_, v); }
  std::u16string Author() const { return GetText("/Author", author_); }
  void SetAuthor(const std::u16string& v) { SetText("/Author", author_, v); }
  std::u16string Subject() const { return GetText("/Subject", subject_); }
  void SetSubject(const std::u16string& v) { SetText("/Subject", subject_, v); }
  std::u16string Keywords() const { return GetText("/Keywords", keywords_); }
  void SetKeywords(const std::u16string& v) { SetText("/Keywords", keywords_, v); }
  std::u16string Creator() const { return GetText("/Creator", creator_); }
  void SetCreator(const std::u16string& v) { SetText("/Creator", creator_, v); }
  std::u16string Producer() const { return GetText("/Producer", producer_); }
  void SetProducer(const std::u16string& v) { SetText("/Producer", producer_, v); }
  std::string CreationDate() const { return GetDate("/CreationDate", creationDate_); }
  void SetCreationDate(const std::string& v) { SetDate("/CreationDate", creationDate_, v); }
  std::string ModDate() const { return GetDate("/ModDate", modDate_); }
  void SetModDate(const std::string& v) { SetDate("/ModDate", modDate_, v); }

 private:
  std::u16string GetText(const char* key, const std::u16string& cached) const;
  void SetText(const char* key, std::u16string& cache, const std::u16string& value);
  std::string GetDate(const char* key, const std::string& cached) const;
  void SetDate(const char* key, std::string& cache, const std::string& value);

  std::unique_ptr<TkvPDFDictObject> infoDictionary_;
  TkvCustomPDFDocument* document_;
  std::u16string title_, author_, subject_, keywords_, creator_, producer_;
  std::string creationDate_, modDate_;
};

// Stored e-mail settings. The library keeps them (and the settings dialog
// edits them) but sends no mail.
class TkvEMailInfo : public rtl::TPersistent {
 public:
  std::string Host;
  std::string UserID;
  std::string Password;
  std::vector<std::string> Attachments;
  std::vector<std::string> Body;
  double Date = 0.0;  // TDateTime: days since 1899-12-30
  std::string FromAddress;
  std::string FromName;
  std::string ReplyTo;
  std::string Subject;
  std::vector<std::string> RecipientList;
  std::vector<std::string> CCList;
  std::vector<std::string> BCCList;
};

}  // namespace pdf
