// Small pieces of the document unit that other parts of the library share:
// the measurement units with their conversions, the page-range parser and the
// stored e-mail settings. The document information record lives beside them
// (TkvPDFInfo) once the object model is available.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

namespace pdf {

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
