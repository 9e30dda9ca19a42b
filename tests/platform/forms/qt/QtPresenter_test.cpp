// The desktop presenter against the forms model: what the model says shows
// in the widgets, and what the user does to a widget reaches the model
// through its own entry points.
#include "platform/forms/qt/QtPresenter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <chrono>
#include <filesystem>
#include <functional>

#include "platform/forms/Buttons.h"
#include "platform/forms/CheckLst.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/Dialogs.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/FileCtrl.h"
#include "platform/forms/Forms.h"
#include "platform/forms/Menus.h"
#include "platform/forms/StdCtrls.h"
#include "platform/os/DragDrop.h"
#include "platform/os/Windows.h"
#include "support/TestSupport.h"

namespace forms {
namespace {

template <typename T>
T* Make(TForm* form, TWinControl* parent, const char* name, const char* caption = "") {
  auto* c = new T(form);
  c->Name = name;
  c->SetParent(parent);
  c->SetCaption(caption);
  return c;
}

// A form with one control of every kind the programs use.
class TAllKinds : public TForm {
 public:
  explicit TAllKinds(rtl::TComponent* owner) : TForm(owner) {
    SetCaption("すべての部品");
    SetClientWidth(320);
    SetClientHeight(300);
    Pages = Make<TPageControl>(this, this, "Pages");
    Pages->Align = alTop;
    Sheet1 = new TTabSheet(this);
    Sheet1->SetCaption("動作");
    Sheet1->SetPageControl(Pages);
    Sheet2 = new TTabSheet(this);
    Sheet2->SetCaption("設定");
    Sheet2->SetPageControl(Pages);
    List = Make<TListBox>(this, Sheet1, "List");
    List->MultiSelect = true;
    for (const char* s : {"a.pdf", "b.pdf", "c.pdf"}) List->Items().Add(s);
    Menu = new TPopupMenu(this);
    for (const char* s : {"変換", "-", "削除"}) {
      auto* item = new TMenuItem(this);
      item->Caption = s;
      Menu->Add(item);
    }
    List->PopupMenu = Menu;
    Drive = Make<TDriveComboBox>(this, Sheet1, "Drive");
    Check = Make<TCheckBox>(this, Sheet2, "Check", "残す");
    Frame = Make<TGroupBox>(this, Sheet2, "Frame", "ＰＤＦ情報");
    Named = Make<TLabel>(this, Frame, "Named", "ホスト: ");
    Edit = Make<TEdit>(this, Frame, "Edit");
    Checks = Make<TCheckListBox>(this, Sheet2, "Checks");
    for (const char* s : {"印刷", "注釈", "文書の変更"}) Checks->AddItem(s);
    Checks->SetChecked(1, true);
    Combo = Make<TComboBox>(this, Sheet2, "Combo");
    Combo->Items = {"一", "二", "三"};
    Radio1 = Make<TRadioButton>(this, this, "Radio1", "設定");
    Radio2 = Make<TRadioButton>(this, this, "Radio2", "解除");
    Group = Make<TRadioGroup>(this, this, "Group", "動作");
    Group->Items = {"甲", "乙"};
    Memo = Make<TMemo>(this, this, "Memo");
    Link = Make<TLabel>(this, this, "Link", "Corvane");
    Status = Make<TLabel>(this, Sheet1, "Status");  // on a page, as a status line is
    Button = Make<TButton>(this, this, "Button", "開始");
    Panel = Make<TPanel>(this, this, "Panel", "ここからＤｒａｇしてください");
    Panel->Align = alBottom;
    Bar = Make<TProgressBar>(this, Panel, "Bar");
  }
  TPageControl* Pages;
  TTabSheet* Sheet1;
  TTabSheet* Sheet2;
  TListBox* List;
  TPopupMenu* Menu;
  TDriveComboBox* Drive;
  TCheckBox* Check;
  TGroupBox* Frame;
  TLabel* Named;
  TEdit* Edit;
  TCheckListBox* Checks;
  TComboBox* Combo;
  TRadioButton* Radio1;
  TRadioButton* Radio2;
  TRadioGroup* Group;
  TMemo* Memo;
  TLabel* Link;
  TLabel* Status;
  TButton* Button;
  TPanel* Panel;
  TProgressBar* Bar;
};

// Runs fn once the next modal loop (a dialog, a menu) has started.
void WhenModalLoop(std::function<void()> fn) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, fn] {
    if (!QApplication::activeModalWidget() && !QApplication::activePopupWidget()) return;
    timer->stop();
    timer->deleteLater();
    fn();
  });
  timer->start(10);
}

class QtPresenterTest : public ::testing::Test {
 protected:
  QtPresenterTest() {
    auto p = std::make_unique<TQtPresenter>();
    presenter = p.get();
    app.SetPresenter(std::move(p));
    app.CreateForm(form);
  }
  // Shows the form and brings the widgets in line with it.
  void Shown() {
    form->Show();
    app.ProcessMessages();
    presenter->Refresh();
  }
  template <typename W>
  W* Widget(const TControl* c) {
    QWidget* w = presenter->WidgetOf(*c);
    EXPECT_NE(w, nullptr) << c->Name;
    auto* typed = qobject_cast<W*>(w);
    EXPECT_NE(typed, nullptr) << c->Name;
    return typed;
  }
  static void WhenModal(std::function<void()> fn) { WhenModalLoop(std::move(fn)); }

  TApplication app;
  TQtPresenter* presenter = nullptr;
  TAllKinds* form = nullptr;
};

TEST_F(QtPresenterTest, AShownFormIsAWindowWithTheFormsCaptionAndAtLeastItsClientSize) {
  Shown();
  QWidget* w = presenter->WidgetOf(*form);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isWindow());
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowTitle().toStdString(), "すべての部品");
  EXPECT_GE(w->width(), form->ClientWidth());
  EXPECT_GE(w->height(), form->ClientHeight());
  // Every tab in sight; a field beside the label that names it.
  QTabBar* tabs = Widget<QTabWidget>(form->Pages)->tabBar();
  EXPECT_GE(tabs->width(), tabs->sizeHint().width());
  form->Pages->SetActivePage(form->Sheet2);
  presenter->Refresh();
  QApplication::processEvents();
  const QRect named(Widget<QLabel>(form->Named)->mapTo(w, QPoint()), Widget<QLabel>(form->Named)->size());
  const QRect field(Widget<QLineEdit>(form->Edit)->mapTo(w, QPoint()), Widget<QLineEdit>(form->Edit)->size());
  EXPECT_LT(named.right(), field.left());
  EXPECT_TRUE(named.top() < field.bottom() && field.top() < named.bottom());
  form->SetCaption("別の題");
  app.ProcessMessages();
  EXPECT_EQ(w->windowTitle().toStdString(), "別の題");
  form->Hide();
  app.ProcessMessages();
  EXPECT_FALSE(w->isVisible());
}

TEST_F(QtPresenterTest, ModelChangesShowInTheWidgets) {
  Shown();
  form->Pages->SetActivePage(form->Sheet2);
  form->Check->SetChecked(true);
  form->Edit->Text = "typed by code";
  form->Edit->PasswordChar = '*';
  form->Combo->SetItemIndex(2);
  form->Radio2->SetChecked(true);
  form->Group->SetItemIndex(1);
  form->Memo->Lines = {"一行目", "二行目"};
  form->Link->SetCaption("mail");
  form->Button->SetEnabled(false);
  form->Bar->SetMax(4);
  form->Bar->SetPosition(3);
  form->List->Items().Add("d.pdf");
  form->List->SetSelected(1, true);
  form->Panel->SetCaption("新しい見出し");
  form->Frame->SetCaption("暗号化");
  form->Checks->SetChecked(2, true);
  // Longer than the window is wide.
  form->Status->SetCaption(
      "パスワードが入力されませんでした（ＰＤＦを残します）パスワードが入力されませんでした");
  presenter->Refresh();

  EXPECT_EQ(Widget<QTabWidget>(form->Pages)->currentIndex(), 1);
  EXPECT_EQ(Widget<QTabWidget>(form->Pages)->tabText(0).toStdString(), "動作");
  EXPECT_TRUE(Widget<QCheckBox>(form->Check)->isChecked());
  EXPECT_EQ(Widget<QCheckBox>(form->Check)->text().toStdString(), "残す");
  EXPECT_EQ(Widget<QLineEdit>(form->Edit)->text().toStdString(), "typed by code");
  EXPECT_EQ(Widget<QLineEdit>(form->Edit)->echoMode(), QLineEdit::Password);
  EXPECT_EQ(Widget<QComboBox>(form->Combo)->currentIndex(), 2);
  EXPECT_EQ(Widget<QComboBox>(form->Drive)->currentText().toStdString(), "/");
  EXPECT_FALSE(Widget<QRadioButton>(form->Radio1)->isChecked());
  EXPECT_TRUE(Widget<QRadioButton>(form->Radio2)->isChecked());
  auto radios = Widget<QGroupBox>(form->Group)->findChildren<QRadioButton*>();
  ASSERT_EQ(radios.size(), 2);
  EXPECT_TRUE(radios[1]->isChecked());
  EXPECT_EQ(Widget<QGroupBox>(form->Group)->title().toStdString(), "動作");
  EXPECT_EQ(Widget<QPlainTextEdit>(form->Memo)->toPlainText().toStdString(), "一行目\n二行目");
  EXPECT_EQ(Widget<QLabel>(form->Link)->text().toStdString(), "mail");
  EXPECT_FALSE(Widget<QPushButton>(form->Button)->isEnabled());
  EXPECT_EQ(Widget<QProgressBar>(form->Bar)->maximum(), 4);
  EXPECT_EQ(Widget<QProgressBar>(form->Bar)->value(), 3);
  auto* list = Widget<QListWidget>(form->List);
  ASSERT_EQ(list->count(), 4);
  EXPECT_EQ(list->item(3)->text().toStdString(), "d.pdf");
  EXPECT_TRUE(list->item(1)->isSelected());
  EXPECT_FALSE(list->item(0)->isSelected());
  auto* caption = Widget<QFrame>(form->Panel)->findChild<QLabel*>();
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->text().toStdString(), "新しい見出し");
  EXPECT_EQ(Widget<QGroupBox>(form->Frame)->title().toStdString(), "暗号化");
  // The status text goes on in a second line, all of it inside the window.
  QApplication::processEvents();
  auto* status = Widget<QLabel>(form->Status);
  EXPECT_LE(status->mapTo(status->window(), QPoint(status->width(), 0)).x(), status->window()->width());
  EXPECT_LE(status->heightForWidth(status->width()), status->height());
  EXPECT_GT(status->fontMetrics().horizontalAdvance(status->text()), status->width());
  auto* checks = Widget<QListWidget>(form->Checks);
  ASSERT_EQ(checks->count(), 3);
  // An unticked item shows its box too.
  EXPECT_EQ(checks->item(0)->data(Qt::CheckStateRole), QVariant(Qt::Unchecked));
  EXPECT_EQ(checks->item(1)->checkState(), Qt::Checked);
  EXPECT_EQ(checks->item(2)->checkState(), Qt::Checked);
  EXPECT_EQ(checks->item(2)->text().toStdString(), "文書の変更");
  EXPECT_EQ(Widget<QLineEdit>(form->Edit)->parentWidget(), Widget<QGroupBox>(form->Frame));
  form->Check->SetVisible(false);
  form->Frame->SetEnabled(false);  // a group switched off, with what it holds
  presenter->Refresh();
  EXPECT_TRUE(Widget<QCheckBox>(form->Check)->isHidden());
  EXPECT_FALSE(Widget<QLineEdit>(form->Edit)->isEnabled());
}

TEST_F(QtPresenterTest, WidgetActionsReachTheModel) {
  Shown();
  std::vector<std::string> events;
  form->Check->OnClick = [&](rtl::TComponent*) { events.push_back("check"); };
  form->Button->OnClick = [&](rtl::TComponent*) { events.push_back("button"); };
  form->Link->OnClick = [&](rtl::TComponent*) { events.push_back("link"); };
  form->Combo->OnChange = [&](rtl::TComponent*) { events.push_back("combo"); };
  form->Pages->OnChange = [&](rtl::TComponent*) { events.push_back("pages"); };
  form->Group->SetItemIndex(0);

  Widget<QTabWidget>(form->Pages)->setCurrentIndex(1);
  EXPECT_EQ(form->Pages->ActivePage(), form->Sheet2);
  Widget<QCheckBox>(form->Check)->click();
  EXPECT_TRUE(form->Check->Checked());
  Widget<QPushButton>(form->Button)->click();
  emit Widget<QComboBox>(form->Combo)->activated(1);
  EXPECT_EQ(form->Combo->ItemIndex(), 1);
  Widget<QRadioButton>(form->Radio2)->click();
  EXPECT_TRUE(form->Radio2->Checked());
  EXPECT_FALSE(form->Radio1->Checked());
  Widget<QGroupBox>(form->Group)->findChildren<QRadioButton*>()[1]->click();
  EXPECT_EQ(form->Group->ItemIndex(), 1);
  form->Checks->OnClickCheck = [&](rtl::TComponent*) { events.push_back("ticked"); };
  Widget<QListWidget>(form->Checks)->item(0)->setCheckState(Qt::Checked);
  EXPECT_TRUE(form->Checks->Checked(0));

  // A label that does something when clicked is a link.
  presenter->Refresh();
  QLabel* link = Widget<QLabel>(form->Link);
  EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
  QTest::mouseClick(link, Qt::LeftButton);

  EXPECT_EQ(events, (std::vector<std::string>{"check", "button", "combo", "ticked", "link"}));
}

TEST_F(QtPresenterTest, TypedKeysGoThroughTheEditsFilter) {
  form->Edit->OnKeyPress = [](rtl::TComponent*, char& key) {
    if ((key < '0' || key > '9') && key != '\b') key = 0;
  };
  Shown();
  form->Pages->SetActivePage(form->Sheet2);
  presenter->Refresh();
  QLineEdit* edit = Widget<QLineEdit>(form->Edit);
  QTest::keyClicks(edit, "1a2b3");
  EXPECT_EQ(form->Edit->Text, "123");
  EXPECT_EQ(edit->text().toStdString(), "123");
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(form->Edit->Text, "12");
}

TEST_F(QtPresenterTest, ListSelectionDoubleClickAndPopUpMenuReachTheModel) {
  Shown();
  std::vector<std::string> events;
  form->List->OnDblClick = [&](rtl::TComponent*) {
    events.push_back("dbl " + std::to_string(form->List->ItemIndex()));
  };
  form->Menu->OnPopup = [&](rtl::TComponent*) { events.push_back("popup"); };
  form->Menu->Items(2)->OnClick = [&](rtl::TComponent*) { events.push_back("delete"); };
  auto* list = Widget<QListWidget>(form->List);
  list->item(0)->setSelected(true);
  list->item(2)->setSelected(true);
  EXPECT_TRUE(form->List->Selected(0));
  EXPECT_FALSE(form->List->Selected(1));
  EXPECT_TRUE(form->List->Selected(2));
  EXPECT_EQ(form->List->SelCount(), 2);

  emit list->itemDoubleClicked(list->item(1));
  EXPECT_EQ(form->List->ItemIndex(), 1);

  QStringList shown;
  WhenModal([&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions())
      if (!a->isSeparator()) shown << a->text();
    for (QAction* a : menu->actions())
      if (a->text() == QString::fromStdString("削除")) menu->setActiveAction(a);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QTest::mouseClick(list->viewport(), Qt::RightButton, {}, list->visualItemRect(list->item(0)).center());
  EXPECT_EQ(shown, (QStringList{QString::fromStdString("変換"), QString::fromStdString("削除")}));
  EXPECT_EQ(form->Menu->PopupComponent, form->List);
  EXPECT_EQ(events, (std::vector<std::string>{"dbl 1", "popup", "delete"}));
}

// A list that draws its rows from entries of its own, as the converter's
// file list does: a row it no longer has cannot be drawn.
class TEntryList : public TListBox {
 public:
  using TListBox::TListBox;
  TDrawnRow DrawItem(int index) override {
    TDrawnRow row;
    row.Cells.push_back({Items()[index], 0, Width, taLeftJustify});
    return row;
  }
};

// The list loses rows (a pop-up command read its folder again, and a file
// had gone) and is painted before the widget has caught up: the rows the
// list no longer has are not drawn, and the program goes on.
TEST_F(QtPresenterTest, AListThatLostRowsIsPaintedBeforeTheWidgetCatchesUp) {
  auto* list = Make<TEntryList>(form, form->Sheet1, "Entries");
  for (const char* s : {"a.pdf", "b.pdf", "c.pdf", "d.pdf"}) list->Items().Add(s);
  Shown();
  auto* lw = Widget<QListWidget>(list);
  ASSERT_EQ(lw->count(), 4);
  while (list->Count() > 1) list->Items().Delete(list->Count() - 1);
  lw->viewport()->repaint();
  EXPECT_GE(lw->sizeHintForColumn(0), 0);
  app.ProcessMessages();
  presenter->Refresh();
  EXPECT_EQ(lw->count(), 1);
}

TEST_F(QtPresenterTest, PanelMouseEventsCarryTheButtonAndPosition) {
  Shown();
  std::vector<std::string> seen;
  form->Panel->OnMouseDown = [&](rtl::TComponent*, TMouseButton b, TShiftState s, int x, int y) {
    seen.push_back("down " + std::to_string(b) + " " + std::to_string(s) + " " + std::to_string(x) + "," +
                   std::to_string(y));
  };
  form->Panel->OnMouseMove = [&](rtl::TComponent*, TShiftState s, int x, int y) {
    seen.push_back("move " + std::to_string(s) + " " + std::to_string(x) + "," + std::to_string(y));
  };
  QFrame* panel = Widget<QFrame>(form->Panel);
  QTest::mousePress(panel, Qt::LeftButton, {}, QPoint(5, 6));
  QMouseEvent move(QEvent::MouseMove, QPointF(25, 7), panel->mapToGlobal(QPointF(25, 7)), Qt::NoButton,
                   Qt::LeftButton, Qt::ShiftModifier);
  QApplication::sendEvent(panel, &move);
  QTest::mouseRelease(panel, Qt::LeftButton, {}, QPoint(25, 7));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "down 0 8 5,6");
  EXPECT_EQ(seen[1], "move 9 25,7");
}

TEST_F(QtPresenterTest, AClosedWindowAsksTheFormAndAMoveIsWrittenBack) {
  int closes = 0;
  form->OnClose = [&](rtl::TComponent*, TCloseAction& action) {
    ++closes;
    action = closes == 1 ? caNone : caHide;
  };
  Shown();
  QWidget* w = presenter->WidgetOf(*form);
  w->move(40, 50);
  app.ProcessMessages();
  EXPECT_EQ(form->Left, w->frameGeometry().x());
  EXPECT_EQ(form->Top, w->frameGeometry().y());
  w->close();  // the form keeps itself open the first time
  app.ProcessMessages();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(w->isVisible());
  // The main form's close ends the program.
  w->close();
  app.ProcessMessages();
  EXPECT_EQ(closes, 2);
  EXPECT_TRUE(app.Terminated());
}

TEST_F(QtPresenterTest, DroppedFilesReachTheDropProcedureFromTheMessageQueue) {
  Shown();
  std::vector<std::string> dropped;
  const os::TDropWindow key = static_cast<const TWinControl*>(form->Pages);
  os::SetDropProc(key, [&](const os::TDropFiles& d) { dropped = d.Files; });
  os::DragAcceptFiles(key, true);
  QWidget* target = Widget<QListWidget>(form->List)->viewport();  // on a page of the page control
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile("/tmp/x/scan one.pdf"), QUrl("https://example.invalid/b.pdf"),
                QUrl::fromLocalFile("/tmp/x/two.pdf")});
  QDragEnterEvent enter(QPoint(3, 3), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(target, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(3, 3), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(target, &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_TRUE(dropped.empty()) << "delivered inside the other program's drop";
  app.ProcessMessages();
  EXPECT_EQ(dropped, (std::vector<std::string>{"/tmp/x/scan one.pdf", "/tmp/x/two.pdf"}));

  // A window that takes no drops refuses them.
  os::DragAcceptFiles(key, false);
  QDragEnterEvent refused(QPoint(3, 3), Qt::CopyAction, &data, Qt::LeftButton, {});
  QApplication::sendEvent(target, &refused);
  EXPECT_FALSE(refused.isAccepted());
  os::SetDropProc(key, {});
}

TEST_F(QtPresenterTest, MessageBoxesHaveTheDesignsButtonTextsAndKeepThePollersRunning) {
  int polls = 0;
  app.AddPoller([&] { ++polls; });
  struct Case {
    const char* name;
    TMsgDlgButtons buttons;
    const char* press;
    TModalResult want;
  };
  const Case cases[] = {
      {"yes-no-cancel: no", mbYes | mbNo | mbCancel, "いいえ", mrNo},
      {"yes-no: yes", mbYes | mbNo, "はい", mrYes},
      {"ok", mbOK, "OK", mrOk},
      {"ok-cancel: cancel", mbOK | mbCancel, "キャンセル", mrCancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QStringList texts;
    int pollsBefore = polls;
    int pollsDuring = -1;
    WhenModal([&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      // Give the nested loop's timer a few turns first.
      QTest::qWait(100);
      pollsDuring = polls - pollsBefore;
      for (QAbstractButton* b : box->buttons()) texts << b->text();
      for (QAbstractButton* b : box->buttons())
        if (b->text() == QString::fromStdString(c.press)) b->click();
    });
    TModalResult r = MessageDlg("本当に？", mtConfirmation, c.buttons);
    EXPECT_EQ(r, c.want);
    EXPECT_TRUE(texts.contains(QString::fromStdString(c.press))) << texts.join(",").toStdString();
    EXPECT_GT(pollsDuring, 0);
  }
}

TEST_F(QtPresenterTest, AModalFormWithAMaskedEditReturnsTheTypedText) {
  auto* dlg = new TForm(&app);
  dlg->SetCaption("パスワード入力");
  dlg->BorderStyle = bsDialog;
  auto* edit = Make<TEdit>(dlg, dlg, "EditPW");
  edit->PasswordChar = '*';
  auto* ok = Make<TBitBtn>(dlg, dlg, "BitBtnOK");
  ok->SetKind(bkOK);
  auto* cancel = Make<TBitBtn>(dlg, dlg, "BitBtnCan");
  cancel->SetKind(bkCancel);
  struct Case {
    const char* name;
    bool useOk;  // else Escape
    TModalResult want;
  };
  for (const Case& c : {Case{"enter", true, mrOk}, Case{"escape", false, mrCancel}}) {
    SCOPED_TRACE(c.name);
    edit->Text.clear();
    QString title;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    QStringList buttons;
    WhenModal([&] {
      QWidget* w = QApplication::activeModalWidget();
      title = w->windowTitle();
      auto* line = w->findChild<QLineEdit*>();
      echo = line->echoMode();
      for (auto* b : w->findChildren<QPushButton*>()) buttons << b->text();
      QTest::keyClicks(line, "s3cret");
      QTest::keyClick(line, c.useOk ? Qt::Key_Return : Qt::Key_Escape);
    });
    EXPECT_EQ(dlg->ShowModal(), c.want);
    EXPECT_EQ(title.toStdString(), "パスワード入力");
    EXPECT_EQ(echo, QLineEdit::Password);
    EXPECT_EQ(buttons, (QStringList{"OK", QString::fromStdString("キャンセル")}));
    EXPECT_EQ(edit->Text, "s3cret");
    EXPECT_FALSE(presenter->WidgetOf(*dlg)->isVisible());
  }
}

TEST_F(QtPresenterTest, AFileDialogHasTheTitleAndFilterAndGivesTheChosenFiles) {
  TOpenDialog dialog(&app);
  dialog.Title = "ファイルの読み込み";
  dialog.Filter = "pdf file(*.pdf)|*.pdf";
  dialog.Options = ofAllowMultiSelect;
  QString title;
  QStringList filters;
  WhenModal([&] {
    auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    title = box->windowTitle();
    filters = box->nameFilters();
    box->reject();
  });
  EXPECT_FALSE(dialog.Execute());
  EXPECT_EQ(title.toStdString(), "ファイルの読み込み");
  EXPECT_EQ(filters, QStringList{"pdf file(*.pdf)"});
}

TEST_F(QtPresenterTest, AFolderDialogHasItsTitleStartsAtTheFolderAndGivesTheChosenOne) {
  tk::test::ScratchDir scratch;
  std::filesystem::create_directories(scratch / "scans" / "inbox");
  const std::string start = (scratch / "scans").string();
  for (const bool chosen : {true, false}) {
    SCOPED_TRACE(chosen ? "chosen" : "cancelled");
    QString title, at;
    bool foldersOnly = false;
    WhenModal([&] {
      auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      title = box->windowTitle();
      at = box->directory().absolutePath();
      foldersOnly = box->fileMode() == QFileDialog::Directory && box->testOption(QFileDialog::ShowDirsOnly);
      if (!chosen) return box->reject();
      box->setDirectory(QString::fromStdString(start + "/inbox"));
      QMetaObject::invokeMethod(box, "accept", Qt::DirectConnection);  // as the Choose button does
    });
    std::string folder = start;
    EXPECT_EQ(presenter->ChooseFolder("フォルダーの選択", folder), chosen);
    EXPECT_EQ(title.toStdString(), "フォルダーの選択");
    EXPECT_EQ(at.toStdString(), start);
    EXPECT_TRUE(foldersOnly);
    EXPECT_EQ(folder, chosen ? start + "/inbox" : start);
  }
}

// None of our windows has the focus (the user is in another program, or a
// batch started from the command line shows its error): a message box or a
// file or folder dialog still opens over the form that asked, else over the
// main window, never wherever the screen puts a window of nobody's.
TEST_F(QtPresenterTest, DialogsOpenOverTheirFormWhenNoWindowOfOursHasTheFocus) {
  form->Left = 500;
  form->Top = 400;
  Shown();
  auto* other = new TForm(&app);
  other->SetCaption("別の窓");
  other->Left = 40;
  other->Top = 60;
  other->Show();
  app.ProcessMessages();
  presenter->Refresh();
  struct Case {
    const char* name;
    TForm* over;
    std::function<void()> open;
  };
  const Case cases[] = {
      {"message box", form, [] { MessageDlg("読めません", mtError, mbOK); }},
      {"file dialog of the other form", other,
       [&] {
         TOpenDialog open(other);
         EXPECT_FALSE(open.Execute());
       }},
      {"folder dialog", form,
       [&] {
         std::string folder = "/";
         EXPECT_FALSE(presenter->ChooseFolder("フォルダーの選択", folder));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QApplication::setActiveWindow(nullptr);
    ASSERT_EQ(QApplication::activeWindow(), nullptr);
    QWidget* owner = presenter->WidgetOf(*c.over);
    QWidget* parent = nullptr;
    QWindow* transientFor = nullptr;
    WhenModal([&] {
      QWidget* box = QApplication::activeModalWidget();
      parent = box->parentWidget();
      // What the window manager reads to stand it over its owner.
      transientFor = box->windowHandle()->transientParent();
      box->close();
    });
    c.open();
    EXPECT_EQ(parent, owner);
    EXPECT_EQ(transientFor, owner->windowHandle());
  }
}

// A second process closes our main window by its title while Qt runs a
// loop of its own (a message box, a file dialog, a modal form, a pop-up
// menu): the close is still answered, and the loop ends afterwards.
TEST(QtNestedLoopTest, ACloseCommandIsAnsweredWhileQtRunsALoopOfItsOwn) {
  struct Case {
    const char* name;
    std::function<void(TForm& dialog, TListBox& list)> open;
  };
  const Case cases[] = {
      {"message box", [](TForm&, TListBox&) { MessageDlg("開いたまま", mtInformation, mbOK); }},
      {"file dialog",
       [](TForm& dialog, TListBox&) {
         TOpenDialog open(&dialog);
         open.Filter = "pdf file(*.pdf)|*.pdf";
         EXPECT_FALSE(open.Execute());
       }},
      // The program ends meanwhile, and so does the form's loop.
      {"modal form", [](TForm& dialog, TListBox&) { dialog.ShowModal(); }},
      {"pop-up menu",
       [](TForm&, TListBox& list) {
         QWidget* view =
             static_cast<QListWidget*>(static_cast<TQtPresenter&>(Application->Presenter()).WidgetOf(list))
                 ->viewport();
         QTest::mouseClick(view, Qt::RightButton, Qt::NoModifier, QPoint(5, 5));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tk::test::ScratchDir scratch;
    os::TWindowDirectory::SetDefaultFolder(scratch / "windows");
    const auto closer =
        tk::test::StandIn(scratch.path(), "closer",
                          "close_title=Converter window\nwindir=" + (scratch / "windows").string() + "\n");
    {
      TApplication app;
      auto presenter = std::make_unique<TQtPresenter>();
      TQtPresenter* shown = presenter.get();
      app.SetPresenter(std::move(presenter));
      TForm* form = nullptr;
      app.CreateForm(form);
      form->SetCaption("Converter window");
      auto* list = Make<TListBox>(form, form, "List");
      auto* menu = new TPopupMenu(form);
      auto* item = new TMenuItem(form);
      item->Caption = "項目";
      menu->Add(item);
      list->PopupMenu = menu;
      TForm* dialog = nullptr;
      app.CreateForm(dialog);
      dialog->SetCaption("ダイアログ");
      int closes = 0;
      form->OnClose = [&](rtl::TComponent*, TCloseAction&) { ++closes; };
      form->Show();
      app.ProcessMessages();
      shown->Refresh();
      int pid = -1;
      int exitCode = -1;
      bool answered = false;
      // The loop's own timers look for the closer's end, and then end the
      // loop as the user would; a closer that is never answered ends it too,
      // so the test fails rather than hangs.
      QTimer watch;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      QObject::connect(&watch, &QTimer::timeout, [&] {
        if (pid <= 0) return;
        answered = answered || tk::test::TryWaitProcess(pid, exitCode);
        if (!answered && std::chrono::steady_clock::now() < until) return;
        watch.stop();
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
      });
      WhenModalLoop([&] {
        pid = tk::test::StartProcess({closer.string()});
        watch.start(10);
      });
      c.open(*dialog, *list);
      ASSERT_GT(pid, 0);
      // A modal form's loop ends with the program, before the closer is seen
      // to end: its answer came from within that loop all the same.
      if (!answered)
        answered = tk::test::WaitFor([&] { return tk::test::TryWaitProcess(pid, exitCode); }, 20000);
      EXPECT_TRUE(answered);
      EXPECT_EQ(exitCode, 0);
      EXPECT_EQ(closes, 1);
      EXPECT_TRUE(app.Terminated());
      const std::string log = tk::test::ReadFileBytes(closer.string() + ".log");
      EXPECT_NE(log.find("sent ok=1\n"), std::string::npos) << log;
    }
    os::TWindowDirectory::SetDefaultFolder({});
  }
}

TEST(QtFilterTest, TheDialogsFilterBecomesQtsFilterList) {
  struct Case {
    const char* filter;
    const char* want;
  };
  const Case cases[] = {
      {"pdf file(*.pdf)|*.pdf", "pdf file(*.pdf)"},
      {"実行形式 file(*.exe)|*.exe", "実行形式 file(*.exe)"},
      {"Images|*.tif;*.png|All|*.*", "Images (*.tif *.png);;All (*.*)"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TQtPresenter::QtFilter(c.filter), c.want) << c.filter;
}

}  // namespace
}  // namespace forms
