#include "platform/forms/ComCtrls.h"

#include <algorithm>

namespace forms {

TTabSheet::~TTabSheet() {
  SetPageControl(nullptr);
}

void TTabSheet::SetPageControl(TPageControl* pageControl) {
  if (pageControl == pageControl_) return;
  if (pageControl_) {
    auto& pages = pageControl_->pages_;
    pages.erase(std::remove(pages.begin(), pages.end(), this), pages.end());
    if (pageControl_->active_ == this) pageControl_->active_ = pages.empty() ? nullptr : pages.front();
  }
  pageControl_ = pageControl;
  if (pageControl_) {
    pageControl_->pages_.push_back(this);
    if (!pageControl_->active_) pageControl_->active_ = this;
  }
  SetParent(pageControl);
}

void TTabSheet::Show() {
  SetVisible(true);
  if (pageControl_) pageControl_->SetActivePage(this);
}

TPageControl::~TPageControl() {
  for (TTabSheet* p : pages_) p->pageControl_ = nullptr;
}

TTabSheet* TPageControl::Pages(int index) const {
  if (index < 0 || index >= PageCount()) return nullptr;
  return pages_[static_cast<size_t>(index)];
}

void TPageControl::SetActivePage(TTabSheet* page) {
  // Only a page of this control can be active.
  if (page && page->pageControl_ != this) return;
  if (page == active_) return;
  active_ = page;
  Invalidate();
}

void TProgressBar::SetMin(int v) {
  min_ = v;
  if (max_ < min_) max_ = min_;
  SetPosition(position_);
  Invalidate();
}

void TProgressBar::SetMax(int v) {
  max_ = v;
  if (min_ > max_) min_ = max_;
  SetPosition(position_);
  Invalidate();
}

void TProgressBar::SetPosition(int v) {
  v = std::clamp(v, min_, max_);
  if (v == position_) return;
  position_ = v;
  Invalidate();
}

std::string TProgressBar::StatusText() const {
  if (max_ <= min_ || position_ <= min_) return {};
  return "[" + std::to_string(position_ - min_) + "/" + std::to_string(max_ - min_) + "]";
}

}  // namespace forms
