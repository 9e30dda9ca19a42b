// Extra controls: the image control.
#pragma once

#include "platform/forms/Controls.h"
#include "platform/graphics/Graphics.h"

namespace forms {

// A control that shows a picture. It owns its picture; its canvas is the
// canvas of the picture's bitmap (an empty picture gets an empty bitmap).
class TImage : public TControl {
 public:
  explicit TImage(rtl::TComponent* owner);
  ~TImage() override;

  graphics::TPicture& Picture() { return picture_; }
  const graphics::TPicture& Picture() const { return picture_; }
  graphics::TCanvas& Canvas() { return picture_.Bitmap().Canvas(); }

  bool AutoSize = false;
  bool Center = false;
  bool Stretch = false;

 private:
  graphics::TPicture picture_;
};

}  // namespace forms
