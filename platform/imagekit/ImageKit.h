/* The imaging library: takes the bitmap behind a canvas handle as a library
 * image and appends library images as pages to TIFF files. It is a shared
 * library (file name TK_IMAGEKIT_LIBRARY) that the converter loads at run
 * time from its own folder; these four C entry points are all it exports.
 *
 * Images are 32-bit handles, 0 meaning none; an image belongs to the caller
 * until IKFreeMemory. Every entry point returns 0 on failure and never lets
 * an exception out.
 */
#pragma once

#include <stdint.h>

#include "platform/graphics/DeviceContext.h"

#define TK_IMAGEKIT_LIBRARY "libtkimagekit.so"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t TIKImage;

/* Compression codes of IKTiffFileSave. */
#define IK_COMPRESSION_G4 4  /* CCITT Group 4; bilevel images only */
#define IK_COMPRESSION_LZW 5 /* LZW, with horizontal differencing for 8-bit samples */

/* A new image holding the top-left width x height pixels of the bitmap
 * behind the handle, at bitDepth 1 (black and white), 8 (grey when every
 * pixel is grey, else colour: the depth never costs a colour) or 24 (colour).
 * 0 when the handle has no bitmap, the size exceeds it or the depth is
 * another. */
typedef TIKImage (*TIKGetImageFromHdc)(HDC dc, int32_t width, int32_t height, int32_t bitDepth);

/* Stores the resolution in pixels per inch (0..65535; 0: none is written).
 * Returns 1, or 0 for an unknown image or a value out of range. */
typedef int32_t (*TIKSetDpi)(TIKImage image, int32_t xDpi, int32_t yDpi);

/* Appends the image as the new last page of the TIFF file, creating the file
 * when it does not exist. Compression IK_COMPRESSION_G4 or
 * IK_COMPRESSION_LZW. The seven arguments after the compression are
 * reserved and ignored. Returns 1 once the page is written, 0 when it is not
 * (unknown image, G4 for an image that is not bilevel, a file that cannot be
 * written or is not a TIFF). */
typedef int32_t (*TIKTiffFileSave)(const char* fileName, TIKImage image, int32_t compression,
                                   int32_t reserved1, int32_t reserved2, const char* reserved3,
                                   int32_t reserved4, int32_t reserved5, const char* reserved6,
                                   const char* reserved7, const char* reserved8);

/* Releases the image. Returns 1, or 0 for an unknown handle. */
typedef int32_t (*TIKFreeMemory)(TIKImage image);

#ifdef __cplusplus
}
#endif
