// National-language services: the system code page, lead bytes, and the
// conversions between byte strings of a code page and UTF-16 wide text.
//
// Byte strings (std::string) hold text in the system code page, which is
// UTF-8 (65001) on Linux. A test can switch it to 932 (the Japanese
// double-byte code page) to exercise the double-byte paths. Conversions run
// through iconv and never fail: bytes that are not text of the code page
// become U+FFFD, wide characters the code page lacks become the default
// character ("?").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rtl {

inline constexpr unsigned CP_ACP = 0;  // the system code page
inline constexpr unsigned CP_UTF8 = 65001;
inline constexpr unsigned CP_SHIFTJIS = 932;

// Flag of MultiByteToWideChar: fail (return 0) on bytes that are not text.
inline constexpr uint32_t MB_ERR_INVALID_CHARS = 0x08;

unsigned GetACP();
// Switches the system code page of this process (65001, 932, 1252 or 28591);
// any other raises EConvertError. Meant for tests and for start-up.
void SetACP(unsigned codePage);

// True when b starts a two-byte character in the system code page (always
// false for UTF-8, whose characters are not "double-byte").
bool IsDBCSLeadByte(uint8_t b);
bool IsDBCSLeadByteEx(unsigned codePage, uint8_t b);

// The number of bytes (at least 1) of the character that starts at index i
// of s in the system code page, never running past the end of s.
size_t CharByteLength(const std::string& s, size_t i);

// The platform's calls. srcLen -1 means "up to and including the NUL";
// a destination size of 0 asks for the size needed. Return the number of
// units written (or needed), 0 on failure (a destination too small).
int MultiByteToWideChar(unsigned codePage, uint32_t flags, const char* src, int srcLen, char16_t* dst,
                        int dstLen);
int WideCharToMultiByte(unsigned codePage, uint32_t flags, const char16_t* src, int srcLen, char* dst,
                        int dstLen, const char* defaultChar, bool* usedDefaultChar);

// The same for whole strings.
std::u16string MultiByteToWide(const std::string& s, unsigned codePage = CP_ACP);
std::string WideToMultiByte(const std::u16string& w, unsigned codePage = CP_ACP,
                            bool* usedDefaultChar = nullptr);

}  // namespace rtl
