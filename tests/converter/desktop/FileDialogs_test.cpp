// The main window's file dialogs as a person uses them, on Qt's offscreen
// platform (no display needed): the name typed into the dialog is the one
// the converter takes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include "../ConverterFixture.h"
#include "platform/forms/qt/QtPresenter.h"

namespace tk::test::converter {
namespace {

class FileDialogs : public ConverterFixture {
 protected:
  ::converter::TForm1* StartShown() {
    ::converter::TForm1* f = Start();
    app->SetPresenter(std::make_unique<forms::TQtPresenter>());
    f->Show();
    app->ProcessMessages();
    return f;
  }
  // Types name into the next file dialog and presses Enter, as a person
  // does. A dialog that refuses the name (it says so in a box of its own)
  // is cancelled, and refused is set.
  void TypeIntoTheDialog(const std::string& name) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [this, timer, name] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        refused = true;
        box->reject();
        return;
      }
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (!dialog) return;
      if (typed) {
        if (refused) dialog->reject();
        return;
      }
      typed = true;
      auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(edit, nullptr);
      edit->setText(QString::fromStdString(name));
      // Posted: a refusal's box runs a loop of its own, which this timer
      // must see from outside.
      QCoreApplication::postEvent(edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
    });
    timer->start(10);
    timers.emplace_back(timer);
  }

  EnvVar platform{"QT_QPA_PLATFORM", "offscreen"};
  bool typed = false;
  bool refused = false;
  std::vector<std::unique_ptr<QTimer>> timers;
};

// The filing application on this system is an executable without an
// extension (lumora_filing): the chooser of 参照 on the 設定 tab takes it.
TEST_F(FileDialogs, TheApplicationChooserTakesAnExecutableWithoutAnExtension) {
  const fs::path filing = docs / "lumora_filing";
  WriteFileBytes(filing, "#!/bin/sh\n");
  ::chmod(filing.c_str(), 0755);
  ::converter::TForm1* f = StartShown();
  TypeIntoTheDialog(filing.string());
  f->ButtonLApp->Click();
  EXPECT_TRUE(typed);
  EXPECT_FALSE(refused);
  EXPECT_EQ(::converter::Settings.Launch, filing.string());
  EXPECT_EQ(f->EditLApp->Text, filing.string());
}

}  // namespace
}  // namespace tk::test::converter
