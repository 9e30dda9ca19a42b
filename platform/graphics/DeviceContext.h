/* The device context behind a canvas handle, as a plain C structure, so that
 * a library loaded at run time (which shares no C++ objects with the
 * program) can read the pixels of the bitmap behind a handle. The library
 * asks the context to describe its bitmap at the moment of the call; the
 * description is valid until the bitmap changes.
 */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TKDibInfo {
  int32_t Width;
  int32_t Height;
  int32_t BitsPerPixel; /* 1, 4, 8, 15, 16, 24 or 32 */
  int32_t Stride;       /* bytes from one row to the next */
  const uint8_t* Rows;  /* the top row; row y at Rows + y * Stride */
  int32_t PaletteCount; /* entries at Palette: red, green, blue, flags */
  const uint8_t* Palette;
} TKDibInfo;

typedef struct TKDeviceContext {
  uint32_t Magic; /* TK_DEVICE_CONTEXT_MAGIC while the context lives */
  void* Owner;
  /* Fills info; returns 1, or 0 when the bitmap has no pixels to give. */
  int (*Describe)(const struct TKDeviceContext* dc, TKDibInfo* info);
} TKDeviceContext;

#define TK_DEVICE_CONTEXT_MAGIC 0x54444358u /* "TDCX" */

typedef TKDeviceContext* HDC;

#ifdef __cplusplus
}
#endif
