// The password dialog as a person sees it: a window titled "パスワード入力"
// with the prompt, a masked edit and OK / キャンセル, on Qt's offscreen
// platform (no display needed).
#include "converter/PasswordDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "platform/forms/qt/QtPresenter.h"
#include "support/TestSupport.h"

namespace tk::test::converter {
namespace {

TEST(PasswordDialog, TheTypedPasswordIsMaskedAndGivenBackByOk) {
  EnvVar platform("QT_QPA_PLATFORM", "offscreen");
  forms::TApplication app;
  app.SetPresenter(std::make_unique<forms::TQtPresenter>());
  app.CreateForm(::converter::FormPassWord);
  struct Case {
    const char* name;
    Qt::Key key;  // after typing the password
    bool cancelled;
  };
  for (const Case& c : {Case{"enter", Qt::Key_Return, false}, Case{"escape", Qt::Key_Escape, true}}) {
    SCOPED_TRACE(c.name);
    QString title, prompt;
    QLineEdit::EchoMode echo = QLineEdit::Normal;
    QStringList buttons;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w) return;
      timer.stop();
      title = w->windowTitle();
      for (QLabel* l : w->findChildren<QLabel*>())
        if (!l->text().isEmpty()) prompt = l->text();
      for (QPushButton* b : w->findChildren<QPushButton*>()) buttons << b->text();
      QLineEdit* edit = w->findChild<QLineEdit*>();
      ASSERT_NE(edit, nullptr);
      echo = edit->echoMode();
      QTest::keyClicks(edit, "p");
      // A key beyond ASCII: its UTF-8 bytes reach the model's box in order.
      QKeyEvent umlaut(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUtf8("ä"));
      QApplication::sendEvent(edit, &umlaut);
      QTest::keyClicks(edit, "sswort");
      QTest::keyClick(edit, c.key);
    });
    timer.start(10);
    ::converter::TPromptResult r = ::converter::PromptText("オーナー又はユーザパスワード入力");
    EXPECT_EQ(title.toStdString(), "パスワード入力");
    EXPECT_EQ(prompt.toStdString(), "オーナー又はユーザパスワード入力");
    EXPECT_EQ(echo, QLineEdit::Password);
    EXPECT_EQ(buttons, (QStringList{"OK", QString::fromStdString("キャンセル")}));
    EXPECT_EQ(r.Cancelled, c.cancelled);
    EXPECT_EQ(r.Text, c.cancelled ? "" : "pässwort");
    EXPECT_EQ(::converter::FormPassWord->EditPW->Text, "");  // nothing lingers in the hidden dialog
  }
}

}  // namespace
}  // namespace tk::test::converter
