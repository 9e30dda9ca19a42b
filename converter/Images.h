// Turning the page image of an image control by the page's display rotation.
// The routines work on the picture's 24-bit or 1-bit bitmap in place (a
// bilevel page is turned as it is, not through 24 bits); an empty picture is
// left alone, any other bitmap format or graphic raises
// graphics::EInvalidGraphicOperation.
#pragma once

#include "platform/forms/ExtCtrls.h"

namespace converter {

// The rotation is reduced modulo 360 first (-90 turns as 270, 450 as 90);
// 90, 180 and 270 turn, anything else leaves the bitmap alone.
void RotateByPageRotation(forms::TImage& image, int rotation);

void RotateImage90(forms::TImage& image);   // a quarter turn clockwise
void RotateImage180(forms::TImage& image);  // a half turn
void RotateImage270(forms::TImage& image);  // a quarter turn counter-clockwise

// A 1-bit bitmap as a trip through 24 bits and back would leave it, without
// the trip: palette 0 black, 1 white, each index the colour of its old
// palette entry packed again, the row padding zero. Other formats and an
// empty bitmap are left alone.
void MakeBlackAndWhite(graphics::TBitmap& bitmap);

}  // namespace converter
