#include "platform/forms/StdCtrls.h"

#include <gtest/gtest.h>

#include "platform/forms/Menus.h"

namespace forms {
namespace {

TEST(TCustomListBox, SelectionSingleAndMulti) {
  rtl::TComponent owner;
  auto* box = new TListBox(&owner);
  for (const char* s : {"a", "b", "c"}) box->Items().Add(s);
  // One selected row at most, and it is the current one.
  box->SetSelected(0, true);
  box->SetSelected(2, true);
  EXPECT_EQ(box->ItemIndex(), 2);
  EXPECT_FALSE(box->Selected(0));
  EXPECT_EQ(box->SelCount(), 1);
  box->SetItemIndex(7);
  EXPECT_EQ(box->ItemIndex(), -1);
  EXPECT_EQ(box->SelCount(), 0);

  box->MultiSelect = true;
  box->SetSelected(0, true);
  box->SetItemIndex(2);
  EXPECT_TRUE(box->Selected(0));
  EXPECT_TRUE(box->Selected(2));
  EXPECT_EQ(box->SelCount(), 2);
  // Rows that come or go drop the selection rather than move it.
  box->Items().Delete(0);
  EXPECT_EQ(box->SelCount(), 0);
  EXPECT_EQ(box->ItemIndex(), -1);
  EXPECT_THROW(box->Selected(2), rtl::EListError);
  box->Clear();
  EXPECT_EQ(box->Count(), 0);
}

TEST(TPopupMenu, OnlyEnabledVisibleItemsAct) {
  rtl::TComponent owner;
  auto* menu = new TPopupMenu(&owner);
  int clicks = 0;
  for (const char* caption : {"one", "-", "two"}) {
    auto* item = new TMenuItem(&owner);
    item->Caption = caption;
    item->OnClick = [&](rtl::TComponent*) { ++clicks; };
    menu->Add(item);
  }
  menu->Items(0)->Click();
  menu->Items(1)->Click();  // a separator
  menu->Items(2)->Enabled = false;
  menu->Items(2)->Click();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(menu->Items(3), nullptr);
  menu->Popup(&owner, 1, 2);
  EXPECT_EQ(menu->PopupComponent, &owner);
}

}  // namespace
}  // namespace forms
