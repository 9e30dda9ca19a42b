// Small routines the PDF units share: literal-string escapes, hexadecimal
// and octal conversions, number-to-text rules for colours, unit
// conversions, text measurement, substring operations that count characters
// of the system code page, and buffer search. None of them raises: failures come back as
// flags or neutral values (0, empty).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace graphics {
class TFont;
}

namespace pdf {

// The screen resolution, captured from the screen at start.
extern int ScreenPixelsPerInch;
extern double PixelsPerPoint;
void SetScreenPixelsPerInch(int ppi);

// Literal strings: escapes \b \t \n \f \r \( \) \\ ; every other byte as is.
std::string EscapePDFString(const std::string& s);
// The reverse, with octal escapes (up to three digits, modulo 256); an
// unknown escape keeps its backslash.
std::string UnescapePDFString(const std::string& s);
// The same into buffer (never more than size bytes), except that \b and \f
// are not escapes there; returns the bytes written.
size_t UnescapePDFStringToBuffer(const std::string& s, uint8_t* buffer, size_t size);

// Bytes to upper-case hexadecimal, high nibble first.
std::string StrToHexText(const std::string& s);
// count bytes of source to 2*count digits at dest.
void HexEncodeBytes(const uint8_t* source, char* dest, size_t count);
bool IsHexText(const std::string& s);  // true for ""
// s read as one hexadecimal number modulo 256; failed is set when s is not
// hex text (the result is then 0).
uint8_t HexTextToByte(const std::string& s, bool& failed);
// Pairs of hex digits to bytes, skipping anything that is not a digit; an odd
// final digit is completed with 0 ("414" gives 41 40).
std::string HexTextToString(const std::string& s);
std::vector<uint8_t> HexTextToBytes(const std::string& s);
bool IsOctalText(const std::string& s);  // true for ""
uint8_t OctalTextToByte(const std::string& s);

// Two hex digits as a fraction of 255 with four decimals ("80" -> "0.5020").
std::string HexByteToUnitText(const std::string& twoDigits);
// A toolkit colour (0x00BBGGRR; system colours resolved) as "r g b" with
// four decimals each: pure red gives "1.0000 0.0000 0.0000".
std::string ColorToPDFRGB(int32_t color);

double PixelsToPoints(double x);
double PointsToPixels(double x);
double DegreesToRadians(double x);

// The pixel extent of text (bytes in the system code page) in the font, on
// the screen's device context: the font is selected for the measurement and
// the screen's previous font put back. Empty text is 0 wide and a line high;
// when no font can be had at all, both are 0.
void MeasureText(const std::string& text, const graphics::TFont& font, int32_t& width, int32_t& height);
// The same for wide text.
void MeasureText(const std::u16string& text, const graphics::TFont& font, int32_t& width, int32_t& height);

// Substrings counted in characters of the system code page (a double-byte
// character counts once). Start is 1-based.
std::string LeftChars(const std::string& s, int n);
std::string RightChars(const std::string& s, int n);
std::string MidChars(const std::string& s, int start, int count);
// 1-based position of sub in s at or after start, 0 when absent.
int FindFrom(const std::string& sub, const std::string& s, int start);
bool ContainsTextNoCase(const std::string& text, const std::string& sub);
std::string ReplaceAllNoCase(const std::string& s, const std::string& oldText, const std::string& newText);
bool TryParseInt(const std::string& s, int32_t& v);
inline int32_t ChooseInt(bool flag, int32_t a, int32_t b) {
  return flag ? a : b;
}
inline int64_t ChooseInt(bool flag, int64_t a, int64_t b) {
  return flag ? a : b;
}
template <typename T>
void FreeAndClear(std::unique_ptr<T>& p) {
  std::unique_ptr<T> old = std::move(p);
}

// Searches buffer[0, length) for text. Down: from selStart + selLength
// forward; up: from selStart - text length backward. Exact bytes; with
// wholeWord a match must not touch a word byte (A-Z a-z 0-9) on either side.
// Returns the match position or -1.
int64_t SearchBuffer(const char* buffer, size_t length, size_t selStart, size_t selLength,
                     const std::string& text, bool down, bool wholeWord);

}  // namespace pdf
