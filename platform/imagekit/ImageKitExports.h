/* The entry points themselves, for the library and for code that links it
 * directly (its tests). The converter binds them at run time instead
 * (converter/ImageKit6.h) and must not see these declarations: its own
 * wrappers carry the same names.
 */
#pragma once

#include "platform/imagekit/ImageKit.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TK_IMAGEKIT_EXPORT __attribute__((visibility("default")))
TK_IMAGEKIT_EXPORT TIKImage IKGetImageFromHdc(HDC dc, int32_t width, int32_t height, int32_t bitDepth);
TK_IMAGEKIT_EXPORT int32_t IKSetDpi(TIKImage image, int32_t xDpi, int32_t yDpi);
TK_IMAGEKIT_EXPORT int32_t IKTiffFileSave(const char* fileName, TIKImage image, int32_t compression,
                                          int32_t reserved1, int32_t reserved2, const char* reserved3,
                                          int32_t reserved4, int32_t reserved5, const char* reserved6,
                                          const char* reserved7, const char* reserved8);
TK_IMAGEKIT_EXPORT int32_t IKFreeMemory(TIKImage image);

#ifdef __cplusplus
}
#endif
