// Turning the page image of an image control by the page's display rotation.
// The routines work on the picture's 24-bit bitmap in place; an empty
// picture is left alone, any other bitmap format or graphic raises
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

}  // namespace converter
