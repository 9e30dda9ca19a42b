// Extra controls: the image control and the radio group.
#pragma once

#include <string>
#include <vector>

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

// A group of exclusive choices, one per item. Setting ItemIndex from code
// fires nothing; the user's Select fires OnClick.
class TRadioGroup : public TWinControl {
 public:
  explicit TRadioGroup(rtl::TComponent* owner) : TWinControl(owner) {}
  // -1 when no item is chosen.
  int ItemIndex() const { return itemIndex_; }
  // An index outside the items chooses none.
  void SetItemIndex(int index);
  // The user picks an item (nothing happens on a disabled group).
  void Select(int index);

  std::vector<std::string> Items;
  int Columns = 1;

 private:
  int itemIndex_ = -1;
};

}  // namespace forms
