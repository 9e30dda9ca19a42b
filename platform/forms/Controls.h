// The headless control model: a control is a component with a place in a
// parent, bounds, a caption, visibility and the enabled state. Nothing is
// drawn; tests and presenters read the state and drive the events directly.
//
// Ownership: a control is owned by the component passed to its constructor
// (the form that holds it) and freed with it. The parent only borrows its
// children; a control leaves its parent when freed, and a parent that is
// freed first leaves its children without one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace forms {

class TWinControl;
class TForm;

using TNotifyEvent = std::function<void(rtl::TComponent* Sender)>;

// Results of a modal form or a message box, with the class library's values.
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;
inline constexpr TModalResult mrAbort = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;

// The window system's colours of user-interface elements: they follow the
// desktop's scheme, so they are kept as references, not as RGB values.
inline constexpr graphics::TColor kSystemColor = static_cast<graphics::TColor>(0x80000000u);
inline constexpr graphics::TColor clBtnFace = kSystemColor | 15;
inline constexpr graphics::TColor clWindow = kSystemColor | 5;
inline constexpr graphics::TColor clInactiveBorder = kSystemColor | 11;

// A key typed into a control; the handler may change Key, or set it to 0 to
// drop it.
using TKeyPressEvent = std::function<void(rtl::TComponent* Sender, char& Key)>;

using TCursor = int;
inline constexpr TCursor crDefault = 0;
inline constexpr TCursor crArrow = -2;
inline constexpr TCursor crHourGlass = -11;
inline constexpr TCursor crHandPoint = -21;

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

enum TMouseButton { mbLeft, mbRight, mbMiddle };

// The shift state of a mouse or key event: modifier keys and held buttons.
using TShiftState = uint8_t;
inline constexpr TShiftState ssShift = 0x01;
inline constexpr TShiftState ssAlt = 0x02;
inline constexpr TShiftState ssCtrl = 0x04;
inline constexpr TShiftState ssLeft = 0x08;
inline constexpr TShiftState ssRight = 0x10;
inline constexpr TShiftState ssMiddle = 0x20;
inline constexpr TShiftState ssDouble = 0x40;

using TMouseEvent =
    std::function<void(rtl::TComponent* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(rtl::TComponent* Sender, TShiftState Shift, int X, int Y)>;

class TControl : public rtl::TComponent {
 public:
  explicit TControl(rtl::TComponent* owner);
  ~TControl() override;

  TWinControl* Parent() const { return parent_; }
  void SetParent(TWinControl* parent);
  // The form the control sits on (itself for a form), or nullptr.
  TForm* ParentForm();

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  void SetBounds(int left, int top, int width, int height);
  // Makes the control the active control of its form.
  void SetFocus();
  bool Focused();

  // Asks for a repaint: the form's status line is rebuilt at the next pump
  // of the message queue when this control is one of its status controls.
  void Invalidate();
  void Repaint() { Invalidate(); }
  void Update() { Invalidate(); }
  // What the control adds to its form's status line.
  virtual std::string StatusText() const { return caption_; }

  // A click by the user (or by code standing in for the user).
  virtual void Click();
  // Mouse events as the window system would deliver them.
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
  void MouseMove(TShiftState shift, int x, int y);

  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  TAlign Align = alNone;
  std::string Hint;
  bool ShowHint = false;
  TCursor Cursor = crDefault;
  graphics::TColor Color = clBtnFace;

  TNotifyEvent OnClick;
  TMouseEvent OnMouseDown;
  TMouseMoveEvent OnMouseMove;

 protected:
  virtual void CaptionChanged() {}
  virtual void VisibleChanged() {}

 private:
  friend class TWinControl;
  TWinControl* parent_ = nullptr;
  std::string caption_;
  bool visible_ = true;
  bool enabled_ = true;
};

// A control that holds other controls.
class TWinControl : public TControl {
 public:
  explicit TWinControl(rtl::TComponent* owner);
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  // Borrowed.
  TControl* Controls(int index) const;

 private:
  friend class TControl;
  std::vector<TControl*> controls_;  // borrowed, in insertion order
};

}  // namespace forms
