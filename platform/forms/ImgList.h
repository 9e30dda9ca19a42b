// A list of images of one size that controls borrow by index (the drag
// image of a drag source). Nothing on this desktop draws them; the list
// holds them for the controls that ask how many there are.
//
// Ownership: the list owns its images.
#pragma once

#include <memory>
#include <vector>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace forms {

class TImageList : public rtl::TComponent {
 public:
  explicit TImageList(rtl::TComponent* owner = nullptr) : rtl::TComponent(owner) {}

  int Count() const { return static_cast<int>(images_.size()); }
  // Returns the new image's index.
  int Add(std::unique_ptr<graphics::TBitmap> image) {
    images_.push_back(std::move(image));
    return Count() - 1;
  }

  int Width = 16;
  int Height = 16;

 private:
  std::vector<std::unique_ptr<graphics::TBitmap>> images_;
};

}  // namespace forms
