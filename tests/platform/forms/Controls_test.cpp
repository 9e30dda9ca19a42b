#include "platform/forms/Controls.h"

#include <gtest/gtest.h>

#include "platform/forms/Buttons.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/StdCtrls.h"

namespace forms {
namespace {

TEST(CheckBox, OnClickFiresWhenCodeOrUserChangesTheState) {
  TCheckBox box(nullptr);
  std::vector<bool> seen;
  box.OnClick = [&](rtl::TComponent* s) { seen.push_back(static_cast<TCheckBox*>(s)->Checked()); };
  box.SetChecked(false);  // no change: no click
  box.SetChecked(true);
  box.SetChecked(true);
  box.Click();
  box.Click();
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));
}

TEST(Control, ParentAndChildCanBeFreedInEitherOrder) {
  {
    auto owner = std::make_unique<rtl::TComponent>();
    auto* panel = new TPanel(owner.get());
    auto* label = new TLabel(owner.get());
    label->SetParent(panel);
    EXPECT_EQ(panel->ControlCount(), 1);
    delete label;  // leaves its parent
    EXPECT_EQ(panel->ControlCount(), 0);
  }
  {
    auto owner = std::make_unique<rtl::TComponent>();
    auto* label = new TLabel(owner.get());
    auto* panel = new TPanel(owner.get());
    label->SetParent(panel);
    delete panel;  // the child is left without a parent
    EXPECT_EQ(label->Parent(), nullptr);
  }
}

TEST(Control, DisabledControlGetsNoMouseEvents) {
  TPanel p(nullptr);
  int downs = 0, moves = 0;
  p.OnMouseDown = [&](rtl::TComponent*, TMouseButton, TShiftState, int, int) { ++downs; };
  p.OnMouseMove = [&](rtl::TComponent*, TShiftState, int, int) { ++moves; };
  p.MouseDown(mbLeft, ssLeft, 1, 2);
  p.MouseMove(ssLeft, 3, 4);
  p.SetEnabled(false);
  p.MouseDown(mbLeft, ssLeft, 1, 2);
  p.MouseMove(ssLeft, 3, 4);
  EXPECT_EQ(downs, 1);
  EXPECT_EQ(moves, 1);
}

TEST(PageControl, SheetsJoinInOrderAndShowMakesActive) {
  auto owner = std::make_unique<rtl::TComponent>();
  auto* pc = new TPageControl(owner.get());
  auto* other = new TPageControl(owner.get());
  auto* s1 = new TTabSheet(owner.get());
  auto* s2 = new TTabSheet(owner.get());
  auto* stray = new TTabSheet(owner.get());
  s1->SetPageControl(pc);
  s2->SetPageControl(pc);
  stray->SetPageControl(other);
  EXPECT_EQ(pc->PageCount(), 2);
  EXPECT_EQ(pc->Pages(1), s2);
  EXPECT_EQ(pc->Pages(2), nullptr);
  EXPECT_EQ(pc->ActivePage(), s1);
  s2->Show();
  EXPECT_EQ(pc->ActivePage(), s2);
  pc->SetActivePage(stray);  // not one of its pages
  EXPECT_EQ(pc->ActivePage(), s2);
  delete s2;
  EXPECT_EQ(pc->PageCount(), 1);
  EXPECT_EQ(pc->ActivePage(), s1);
}

TEST(ProgressBar, PositionStaysInRangeTable) {
  struct Case {
    int min, max, pos, want;
    const char* status;
  } cases[] = {
      {0, 100, 50, 50, "[50/100]"}, {0, 5, 9, 5, "[5/5]"}, {0, 5, -3, 0, ""}, {0, 0, 1, 0, ""}, {2, 4, 3, 3, "[1/2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pos);
    TProgressBar bar(nullptr);
    bar.SetMax(c.max);
    bar.SetMin(c.min);
    bar.SetPosition(c.pos);
    EXPECT_EQ(bar.Position(), c.want);
    EXPECT_EQ(bar.StatusText(), c.status);
  }
}

TEST(BitBtn, KindBringsItsModalResult) {
  struct Case {
    TBitBtnKind kind;
    TModalResult result;
  } cases[] = {{bkOK, mrOk}, {bkCancel, mrCancel}, {bkYes, mrYes}, {bkNo, mrNo}, {bkCustom, mrNone}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    TBitBtn b(nullptr);
    b.SetKind(c.kind);
    EXPECT_EQ(b.ModalResult, c.result);
  }
}

}  // namespace
}  // namespace forms
