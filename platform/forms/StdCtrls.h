// The standard controls the programs' windows hold: labels, buttons, check
// boxes, radio buttons, edit boxes, memos, list boxes, combo boxes, group
// boxes and panels. Each is owned by the component given to its
// constructor (see Controls.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/forms/Controls.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace forms {

class TPopupMenu;

class TLabel : public TControl {
 public:
  explicit TLabel(rtl::TComponent* owner) : TControl(owner) {}
  bool AutoSize = true;
  bool Transparent = false;
};

class TButton : public TWinControl {
 public:
  explicit TButton(rtl::TComponent* owner) : TWinControl(owner) {}
  // A click also ends the modal form the button is on, with this result
  // (when not mrNone). The result is set before OnClick runs, so that a
  // handler can keep the form open by setting the form's result to mrNone.
  void Click() override;
  TModalResult ModalResult = mrNone;
  bool Default = false;
  bool Cancel = false;
};

// Setting Checked from code fires OnClick when the state changes, as a
// click of the user does.
class TCheckBox : public TWinControl {
 public:
  explicit TCheckBox(rtl::TComponent* owner) : TWinControl(owner) {}
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);
  // The user's click toggles the box.
  void Click() override { SetChecked(!checked_); }

 private:
  bool checked_ = false;
};

// A radio button unchecks the other radio buttons of its parent when it is
// checked; becoming checked fires OnClick.
class TRadioButton : public TWinControl {
 public:
  explicit TRadioButton(rtl::TComponent* owner) : TWinControl(owner) {}
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);
  void Click() override { SetChecked(true); }

 private:
  bool checked_ = false;
};

class TEdit : public TWinControl {
 public:
  explicit TEdit(rtl::TComponent* owner) : TWinControl(owner) {}
  // A key typed by the user: OnKeyPress sees it first and may drop it; a
  // backspace then removes the last character, any other key is appended.
  // A read-only or disabled box takes no keys.
  void KeyPress(char key);

  std::string Text;
  // Not 0: the box shows this character for every character of the text.
  char PasswordChar = 0;
  bool ReadOnly = false;
  TKeyPressEvent OnKeyPress;
};

enum TComboBoxStyle { csDropDown, csSimple, csDropDownList };

// Setting ItemIndex from code fires nothing; the user's Select fires OnChange.
class TComboBox : public TWinControl {
 public:
  explicit TComboBox(rtl::TComponent* owner) : TWinControl(owner) {}
  // -1 when no item is selected.
  int ItemIndex() const { return itemIndex_; }
  // An index outside the items selects none.
  void SetItemIndex(int index);
  // The selected item's text, empty when none is.
  std::string Text() const;
  // The user picks an item (nothing happens on a disabled box).
  void Select(int index);

  std::vector<std::string> Items;
  // The object each item carries, beside Items (the same length when used).
  std::vector<intptr_t> Objects;
  TComboBoxStyle Style = csDropDown;
  TNotifyEvent OnChange;

 private:
  int itemIndex_ = -1;
};

class TGroupBox : public TWinControl {
 public:
  explicit TGroupBox(rtl::TComponent* owner) : TWinControl(owner) {}
};

class TMemo : public TWinControl {
 public:
  explicit TMemo(rtl::TComponent* owner) : TWinControl(owner) {}
  std::vector<std::string> Lines;
  bool ReadOnly = false;
};

// What a row shows in place of the shell's icon.
enum TIconKind { ikNone, ikFile, ikFolder, ikOpenFolder };
enum TAlignment { taLeftJustify, taRightJustify };

// One text of a drawn row, in the rectangle Left..Right of the row.
struct TDrawnCell {
  std::string Text;
  int Left = 0;
  int Right = 0;
  TAlignment Alignment = taLeftJustify;
};

// A row as the list draws it: its icon at IconLeft (16 by 16 pixels) and its
// texts, each already shortened to its column.
struct TDrawnRow {
  bool Selected = false;
  TIconKind Icon = ikNone;
  int IconLeft = 0;
  std::vector<TDrawnCell> Cells;
};

enum TListBoxStyle { lbStandard, lbOwnerDrawFixed, lbOwnerDrawVariable };

// A list of rows, each a text with a borrowed object beside it. One row is
// the current one (ItemIndex, -1 for none); with MultiSelect any number of
// rows are selected besides. Changing the items clears the selection of
// the rows that moved, as the window system's list does.
class TCustomListBox : public TWinControl {
 public:
  explicit TCustomListBox(rtl::TComponent* owner);

  rtl::TStringList& Items() { return items_; }
  const rtl::TStringList& Items() const { return items_; }
  int Count() const { return items_.Count(); }
  // Empties the rows and the selection.
  virtual void Clear();

  int ItemIndex() const { return itemIndex_; }
  // Makes row i the current one; without MultiSelect it is then the only
  // selected row. An index outside the rows sets none.
  void SetItemIndex(int index);
  bool Selected(int index) const;
  // Without MultiSelect, selecting a row makes it the current one.
  void SetSelected(int index, bool value);
  int SelCount() const;

  // A double click by the user on the current row.
  virtual void DblClick();
  // The row as it is drawn; a plain list box draws its text over the row.
  virtual TDrawnRow DrawItem(int index);

  TListBoxStyle Style = lbStandard;
  bool MultiSelect = false;
  bool ExtendedSelect = true;
  int ItemHeight = 16;
  graphics::TFont Font;
  // Shown by a right click on the list; borrowed.
  TPopupMenu* PopupMenu = nullptr;
  TNotifyEvent OnDblClick;

 private:
  void ItemsChanged();

  rtl::TStringList items_;
  std::vector<bool> selected_;
  int itemIndex_ = -1;
};

class TListBox : public TCustomListBox {
 public:
  explicit TListBox(rtl::TComponent* owner) : TCustomListBox(owner) {}
};

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };

class TPanel : public TWinControl {
 public:
  explicit TPanel(rtl::TComponent* owner) : TWinControl(owner) {}
  TBevelCut BevelInner = bvNone;
  TBevelCut BevelOuter = bvRaised;
};

}  // namespace forms
