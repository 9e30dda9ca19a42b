// A small file manager of the tests, both ways round.
//
//   tk_drag_files source FILE...   a window; pressing the mouse in it and
//                                  moving starts a drag of the files
//                                  (text/uri-list), as a file manager does
//   tk_drag_files target [move DIR] a window that takes dropped files; with
//                                  "move" it moves them into DIR and says so
//
// Both print "ready" once their window is mapped, and what happened as lines
// on standard error (where Qt's own messages go too): "drag <action>" at the end of a drag, "enter" when a
// drag first comes over the target, "uri <url>" and "text <line>" for each part of a drop, then
// "dropped <action>". The target
// ends after its first drop, the source after its first drag.
#include <QApplication>
#include <QDrag>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdio>

namespace {

const char* ActionName(Qt::DropAction a) {
  switch (a) {
    case Qt::CopyAction:
      return "copy";
    case Qt::MoveAction:
      return "move";
    case Qt::LinkAction:
      return "link";
    default:
      return "none";
  }
}

void Say(const QString& line) {
  std::fprintf(stderr, "%s\n", line.toUtf8().constData());
}

class Window : public QWidget {
 public:
  Window(bool source, QStringList files, QString moveTo)
      : source_(source), files_(std::move(files)), moveTo_(std::move(moveTo)) {
    setWindowTitle(source_ ? "tk drag source" : "tk drop target");
    setAcceptDrops(!source_);
    resize(200, 150);
  }

 protected:
  void showEvent(QShowEvent*) override {
    QTimer::singleShot(200, [] { Say("ready"); });
  }
  void mousePressEvent(QMouseEvent*) override { pressed_ = source_; }
  void mouseMoveEvent(QMouseEvent*) override {
    if (!pressed_) return;
    pressed_ = false;
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& f : files_) urls << QUrl::fromLocalFile(f);
    data->setUrls(urls);
    QDrag drag(this);
    drag.setMimeData(data);
    Qt::DropAction done = drag.exec(Qt::CopyAction | Qt::MoveAction, Qt::CopyAction);
    Say(QString("drag ") + ActionName(done));
    QTimer::singleShot(0, qApp, &QApplication::quit);
  }
  // What the drag offers is read while it passes over the window: the X
  // drop itself may no longer hand it over.
  void Offered(const QMimeData* data) {
    if (!data->hasUrls()) return;
    if (QList<QUrl> urls = data->urls(); !urls.isEmpty()) urls_ = urls;
    if (QString text = data->text(); !text.isEmpty()) text_ = text;
  }
  void dragEnterEvent(QDragEnterEvent* e) override {
    if (!entered_) Say("enter");
    entered_ = true;
    Offered(e->mimeData());
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  }
  void dragMoveEvent(QDragMoveEvent* e) override {
    Offered(e->mimeData());
    if (e->mimeData()->hasUrls()) e->acceptProposedAction();
  }
  void dropEvent(QDropEvent* e) override {
    Offered(e->mimeData());
    for (const QUrl& u : urls_) Say("uri " + u.toString());
    for (const QString& line : text_.split('\n', Qt::SkipEmptyParts)) Say("text " + line);
    Qt::DropAction action = Qt::CopyAction;
    if (!moveTo_.isEmpty()) {
      for (const QUrl& u : urls_) {
        const QString from = u.toLocalFile();
        QFile::rename(from, moveTo_ + "/" + QUrl::fromLocalFile(from).fileName());
      }
      action = Qt::MoveAction;
    }
    e->setDropAction(action);
    e->accept();
    Say(QString("dropped ") + ActionName(action));
    QTimer::singleShot(300, qApp, &QApplication::quit);
  }

 private:
  bool source_;
  QStringList files_;
  QString moveTo_;
  bool pressed_ = false;
  bool entered_ = false;
  QList<QUrl> urls_;
  QString text_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = app.arguments().mid(1);
  if (args.isEmpty() || (args[0] != "source" && args[0] != "target")) {
    std::fprintf(stderr, "usage: tk_drag_files source FILE... | target [move DIR]\n");
    return 2;
  }
  const bool source = args[0] == "source";
  QString moveTo;
  if (!source && args.size() >= 3 && args[1] == "move") moveTo = args[2];
  Window w(source, source ? args.mid(1) : QStringList{}, moveTo);
  w.move(500, 100);
  w.show();
  return app.exec();
}
