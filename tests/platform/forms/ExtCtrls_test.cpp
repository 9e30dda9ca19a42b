#include "platform/forms/ExtCtrls.h"

#include <gtest/gtest.h>

namespace forms {
namespace {

TEST(TImage, CanvasIsThePictureBitmapsCanvas) {
  rtl::TComponent owner;
  auto* image = new TImage(&owner);  // owned and freed by owner
  EXPECT_EQ(image->Picture().Graphic(), nullptr);
  graphics::TCanvas& canvas = image->Canvas();
  ASSERT_NE(image->Picture().Graphic(), nullptr) << "asking for the canvas makes the bitmap";
  EXPECT_EQ(&canvas.Bitmap(), &image->Picture().Bitmap());
  EXPECT_EQ(graphics::TCanvas::BitmapFromHandle(canvas.Handle()), &image->Picture().Bitmap());
  EXPECT_EQ(owner.ComponentCount(), 1);
}

}  // namespace
}  // namespace forms
