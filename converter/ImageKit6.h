// Run-time binding of the imaging library (TK_IMAGEKIT_LIBRARY, beside the
// executable). The library is loaded once at start and its four entry points
// are looked up by name. Nothing fails at binding time; a library or entry
// point that is missing raises EImagingLibraryError, naming what is missing,
// at the first call of that entry point, so that no call ever goes through a
// null pointer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/imagekit/ImageKit.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

using TExceptionBase = rtl::Exception;
RTL_DECLARE_EXCEPTION(EImagingLibraryError, TExceptionBase);

// Loads the library from the executable's folder.
void BindImagingLibrary();
// Loads the library from a folder (tests).
void BindImagingLibrary(const std::string& folder);
// Releases the library; the entry points raise again until the next bind.
void UnbindImagingLibrary();

// True when the library and all four entry points were found.
bool ImagingLibraryBound();
// Why the binding is incomplete ("" when it is complete).
std::string ImagingLibraryError();

// The entry points (platform/imagekit/ImageKit.h describes them). Each
// raises EImagingLibraryError when it is not bound; otherwise it returns the
// library's result.
TIKImage IKGetImageFromHdc(HDC dc, int32_t width, int32_t height, int32_t bitDepth);
int32_t IKSetDpi(TIKImage image, int32_t xDpi, int32_t yDpi);
int32_t IKTiffFileSave(const std::string& fileName, TIKImage image, int32_t compression, int32_t reserved1,
                       int32_t reserved2, const std::string& reserved3, int32_t reserved4, int32_t reserved5,
                       const std::string& reserved6, const std::string& reserved7,
                       const std::string& reserved8);
int32_t IKFreeMemory(TIKImage image);

}  // namespace converter
