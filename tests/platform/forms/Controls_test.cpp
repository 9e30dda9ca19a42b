#include "platform/forms/Controls.h"

#include <gtest/gtest.h>

#include "platform/forms/Buttons.h"
#include "platform/forms/CheckLst.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/Forms.h"
#include "platform/forms/StdCtrls.h"
#include "platform/rtl/SysUtils.h"

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
      {0, 100, 50, 50, "[50/100]"}, {0, 5, 9, 5, "[5/5]"}, {0, 5, -3, 0, ""}, {0, 0, 1, 0, ""},
      {2, 4, 3, 3, "[1/2]"},
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

TEST(RadioButton, CheckingOneUnchecksItsSiblingsOnly) {
  TPanel group(nullptr), other(nullptr);
  TRadioButton a(nullptr), b(nullptr), c(nullptr);
  a.SetParent(&group);
  b.SetParent(&group);
  c.SetParent(&other);
  c.SetChecked(true);
  int clicks = 0;
  b.OnClick = [&](rtl::TComponent*) { ++clicks; };
  a.SetChecked(true);
  b.Click();
  b.Click();  // already checked: no second click
  EXPECT_FALSE(a.Checked());
  EXPECT_TRUE(b.Checked());
  EXPECT_TRUE(c.Checked());
  EXPECT_EQ(clicks, 1);
}

TEST(ComboBox, OnlyTheUsersChoiceFiresOnChange) {
  TComboBox box(nullptr);
  box.Items = {"Flate", "Runlength"};
  int changes = 0;
  box.OnChange = [&](rtl::TComponent*) { ++changes; };
  box.SetItemIndex(1);
  EXPECT_EQ(box.Text(), "Runlength");
  box.SetItemIndex(5);
  EXPECT_EQ(box.ItemIndex(), -1);
  EXPECT_EQ(box.Text(), "");
  EXPECT_EQ(changes, 0);
  box.Select(0);
  EXPECT_EQ(box.Text(), "Flate");
  EXPECT_EQ(changes, 1);
  box.SetEnabled(false);
  box.Select(1);
  EXPECT_EQ(box.ItemIndex(), 0);
  EXPECT_EQ(changes, 1);
  box.Items.clear();  // a stale index reads as no item
  EXPECT_EQ(box.Text(), "");
}

TEST(RadioGroup, SelectClicksAndCodeDoesNot) {
  TRadioGroup group(nullptr);
  group.Items = {"40", "128"};
  int clicks = 0;
  group.OnClick = [&](rtl::TComponent*) { ++clicks; };
  group.SetItemIndex(1);
  group.Select(0);
  group.Select(7);
  EXPECT_EQ(group.ItemIndex(), -1);
  EXPECT_EQ(clicks, 2);
}

TEST(Edit, KeysPassTheHandlerAndBackspaceTakesOneCharacter) {
  TEdit edit(nullptr);
  edit.Text = "1é";
  edit.OnKeyPress = [](rtl::TComponent*, char& k) {
    if (k == 'x') k = 0;
    if (k == 'a') k = 'A';
  };
  edit.KeyPress('\b');  // both bytes of the accented letter
  edit.KeyPress('x');
  edit.KeyPress('a');
  EXPECT_EQ(edit.Text, "1A");
  edit.KeyPress('\b');
  edit.KeyPress('\b');
  edit.KeyPress('\b');
  EXPECT_EQ(edit.Text, "");
  edit.ReadOnly = true;
  edit.KeyPress('a');
  EXPECT_EQ(edit.Text, "");
}

TEST(CheckListBox, ItemsKeepTheirMarksAndBadIndexesRaise) {
  TCheckListBox list(nullptr);
  list.AddItem("print");
  list.AddItem("copy");
  int clicks = 0;
  list.OnClickCheck = [&](rtl::TComponent*) { ++clicks; };
  list.SetChecked(1, true);
  list.ClickCheck(0);
  list.ClickCheck(1);
  EXPECT_TRUE(list.Checked(0));
  EXPECT_FALSE(list.Checked(1));
  EXPECT_EQ(clicks, 2);
  EXPECT_THROW(list.Checked(2), rtl::EListError);
  EXPECT_THROW(list.SetChecked(-1, true), rtl::EListError);
  list.SetEnabled(false);
  list.ClickCheck(0);
  EXPECT_TRUE(list.Checked(0));
}

TEST(Button, AHandlerCanKeepTheFormOpen) {
  TForm form(nullptr);
  auto* ok = new TButton(&form);
  ok->SetParent(&form);
  ok->ModalResult = mrOk;
  bool refuse = true;
  ok->OnClick = [&](rtl::TComponent*) {
    if (refuse) form.ModalResult = mrNone;
  };
  ok->Click();
  EXPECT_EQ(form.ModalResult, mrNone);
  refuse = false;
  ok->Click();
  EXPECT_EQ(form.ModalResult, mrOk);
}

TEST(Control, FocusLeavesWithAFreedControl) {
  TForm form(nullptr);
  auto* panel = new TPanel(&form);
  panel->SetParent(&form);
  auto* edit = new TEdit(&form);
  edit->SetParent(panel);
  edit->SetFocus();
  EXPECT_EQ(form.ActiveControl, edit);
  EXPECT_TRUE(edit->Focused());
  delete edit;
  EXPECT_EQ(form.ActiveControl, nullptr);
}

}  // namespace
}  // namespace forms
