// Page controls with their tab sheets, and the progress bar.
#pragma once

#include <string>
#include <vector>

#include "platform/forms/Controls.h"

namespace forms {

class TPageControl;

class TTabSheet : public TWinControl {
 public:
  explicit TTabSheet(rtl::TComponent* owner) : TWinControl(owner) {}
  ~TTabSheet() override;
  TPageControl* PageControl() const { return pageControl_; }
  // Adds the sheet as the last page of pageControl (and its child).
  void SetPageControl(TPageControl* pageControl);
  // Makes the sheet the active page of its page control.
  void Show();

 private:
  friend class TPageControl;
  TPageControl* pageControl_ = nullptr;
};

class TPageControl : public TWinControl {
 public:
  explicit TPageControl(rtl::TComponent* owner) : TWinControl(owner) {}
  ~TPageControl() override;
  int PageCount() const { return static_cast<int>(pages_.size()); }
  // Borrowed.
  TTabSheet* Pages(int index) const;
  TTabSheet* ActivePage() const { return active_; }
  void SetActivePage(TTabSheet* page);
  TNotifyEvent OnChange;

 private:
  friend class TTabSheet;
  std::vector<TTabSheet*> pages_;  // borrowed
  TTabSheet* active_ = nullptr;
};

// Position stays within Min..Max. Its status text is "[position/max]" while
// it shows progress, empty otherwise.
class TProgressBar : public TWinControl {
 public:
  explicit TProgressBar(rtl::TComponent* owner) : TWinControl(owner) {}
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetMin(int v);
  void SetMax(int v);
  void SetPosition(int v);
  std::string StatusText() const override;

 private:
  int min_ = 0;
  int max_ = 100;
  int position_ = 0;
};

}  // namespace forms
