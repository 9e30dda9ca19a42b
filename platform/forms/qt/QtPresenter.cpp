#include "platform/forms/qt/QtPresenter.h"

#include <poll.h>
#include <unistd.h>

#include <QAbstractItemDelegate>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDrag>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/forms/Buttons.h"
#include "platform/forms/CheckLst.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/FileCtrl.h"
#include "platform/forms/Menus.h"
#include "platform/forms/StdCtrls.h"
#include "platform/graphics/FontEngine.h"
#include "platform/os/DragDrop.h"
#include "platform/os/XWindows.h"
#include "platform/rtl/SysUtils.h"

#if defined(__SANITIZE_ADDRESS__)
// Qt's platform plug-in talks to the session bus from a thread of its own,
// and the bus library keeps that connection's read buffer until the process
// ends; a bare Qt program that shows one window reports the same. The leak
// checker of a sanitized build is told so here, for every program that shows
// windows, however it is started.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}
#endif

namespace forms {

namespace {

// How often every control of the shown windows is compared with its widget:
// public fields such as an edit's text change without a notification.
constexpr auto kFullSyncInterval = std::chrono::milliseconds(100);
// How often a pump takes the display's events when called in quick
// succession; the idle wait takes them whenever they come.
constexpr auto kQtPumpInterval = std::chrono::milliseconds(25);
// How often the application's messages and pollers run while Qt is in a
// loop of its own (a drag, a menu, a dialog).
constexpr int kNestedTickMs = 20;
// How long a target that reported a move may take to take the files away.
constexpr auto kMoveSettleTime = std::chrono::milliseconds(1000);
constexpr int kLayoutMargin = 6;
// The most a memo or list asks for to show its lines or columns whole.
constexpr int kWidestControl = 640;
constexpr int kMemoMostLines = 16;
constexpr int kMemoPadding = 24;
constexpr int kLayoutSpacing = 4;

// Controls that share one row of their parent, left to right; the row
// stands where its first-created member would.
const std::vector<std::vector<std::string>> kRows = {
    {"DriveComboBox1", "SpeedButtonLoad"},
    {"EditLApp", "ButtonLApp"},
    {"BitBtnOK", "BitBtnCan"},
    {"OKBtn", "CancelBtn"},
};

bool InRow(const TControl& c) {
  for (const auto& row : kRows)
    if (std::find(row.begin(), row.end(), c.Name) != row.end()) return true;
  return false;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}
std::string S(const QString& s) {
  return s.toStdString();
}

enum TKind {
  kForm,
  kPageControl,
  kTabSheet,
  kList,
  kCheckList,
  kMemo,
  kEdit,
  kCombo,
  kDrive,
  kCheck,
  kRadio,
  kRadioGroup,
  kGroup,
  kButton,
  kProgress,
  kPanel,
  kLabel,
  kContainer,
  kOther,
};

TKind KindOf(TControl& c) {
  if (dynamic_cast<TForm*>(&c)) return kForm;
  if (dynamic_cast<TPageControl*>(&c)) return kPageControl;
  if (dynamic_cast<TTabSheet*>(&c)) return kTabSheet;
  if (dynamic_cast<TCustomListBox*>(&c)) return kList;
  if (dynamic_cast<TCheckListBox*>(&c)) return kCheckList;
  if (dynamic_cast<TMemo*>(&c)) return kMemo;
  if (dynamic_cast<TEdit*>(&c)) return kEdit;
  if (dynamic_cast<TComboBox*>(&c)) return kCombo;
  if (dynamic_cast<TDriveComboBox*>(&c)) return kDrive;
  if (dynamic_cast<TCheckBox*>(&c)) return kCheck;
  if (dynamic_cast<TRadioButton*>(&c)) return kRadio;
  if (dynamic_cast<TRadioGroup*>(&c)) return kRadioGroup;
  if (dynamic_cast<TGroupBox*>(&c)) return kGroup;
  if (dynamic_cast<TButton*>(&c) || dynamic_cast<TSpeedButton*>(&c)) return kButton;
  if (dynamic_cast<TProgressBar*>(&c)) return kProgress;
  if (dynamic_cast<TPanel*>(&c)) return kPanel;
  if (dynamic_cast<TLabel*>(&c)) return kLabel;
  if (dynamic_cast<TWinControl*>(&c)) return kContainer;
  return kOther;
}

// The caption a button of a kind shows when the form gives it none.
std::string ButtonText(TControl& c) {
  if (!c.Caption().empty()) return c.Caption();
  if (auto* b = dynamic_cast<TBitBtn*>(&c)) {
    switch (b->Kind()) {
      case bkOK:
        return "OK";
      case bkCancel:
        return "キャンセル";
      case bkYes:
        return "はい";
      case bkNo:
        return "いいえ";
      case bkClose:
        return "閉じる";
      case bkAbort:
        return "中止";
      case bkRetry:
        return "再試行";
      case bkIgnore:
        return "無視";
      default:
        break;
    }
  }
  return c.Caption();
}

// A label that ends in a colon names the entry field created after it.
bool NamesField(TControl& label, TControl& field) {
  if (KindOf(label) != kLabel) return false;
  const TKind k = KindOf(field);
  if (k != kEdit && k != kCombo) return false;
  std::string text = label.Caption();
  while (!text.empty() && text.back() == ' ') text.pop_back();
  auto endsWith = [&](const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(":") || endsWith("：");
}

TShiftState ShiftOf(Qt::MouseButtons buttons, Qt::KeyboardModifiers mods) {
  TShiftState s = 0;
  if (mods & Qt::ShiftModifier) s |= ssShift;
  if (mods & Qt::ControlModifier) s |= ssCtrl;
  if (mods & Qt::AltModifier) s |= ssAlt;
  if (buttons & Qt::LeftButton) s |= ssLeft;
  if (buttons & Qt::RightButton) s |= ssRight;
  if (buttons & Qt::MiddleButton) s |= ssMiddle;
  return s;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string all;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) all += '\n';
    all += lines[i];
  }
  return all;
}

// The files of a file-drop block: a 20-byte header whose first field is the
// offset of the names, then zero-ended names, an empty one last.
std::vector<std::string> DropFileNames(const std::vector<uint8_t>& block) {
  std::vector<std::string> files;
  if (block.size() < 4) return files;
  size_t at = static_cast<size_t>(block[0]) | static_cast<size_t>(block[1]) << 8 |
              static_cast<size_t>(block[2]) << 16 | static_cast<size_t>(block[3]) << 24;
  while (at < block.size()) {
    size_t end = at;
    while (end < block.size() && block[end] != 0) ++end;
    if (end == at) break;
    files.emplace_back(reinterpret_cast<const char*>(block.data()) + at, end - at);
    at = end + 1;
  }
  return files;
}

// A dialog over one of our windows lives on the heap: that window may be
// freed while the dialog runs (from the message queue its loop keeps
// running), and takes the dialog with it.
template <typename T>
class HeldDialog {
 public:
  explicit HeldDialog(T* dialog) : dialog_(dialog) {}
  ~HeldDialog() { delete dialog_.data(); }
  HeldDialog(const HeldDialog&) = delete;
  HeldDialog& operator=(const HeldDialog&) = delete;
  T* operator->() const { return dialog_.data(); }
  explicit operator bool() const { return !dialog_.isNull(); }

 private:
  QPointer<T> dialog_;
};

}  // namespace

struct TQtPresenter::Impl {
  struct Bound {
    TControl* control = nullptr;
    TForm* form = nullptr;
    TKind kind = kOther;
    QPointer<QWidget> widget;
    // What the widget was last given, where comparing with the widget
    // itself would cost more than keeping a copy.
    std::string shadow;
    // A form's directory handle as its X window carries it (0: not yet).
    os::HWND marked = 0;
  };

  class Filter : public QObject {
   public:
    explicit Filter(Impl& impl) : impl_(impl) {}
    bool eventFilter(QObject* o, QEvent* e) override { return impl_.OnEvent(o, e); }

   private:
    Impl& impl_;
  };

  // Paints a list box's rows as the list itself describes them.
  class RowDelegate : public QAbstractItemDelegate {
   public:
    RowDelegate(Impl& impl, TCustomListBox& list, QObject* parent)
        : QAbstractItemDelegate(parent), impl_(impl), list_(list) {}
    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
      TDrawnRow row;
      if (!Draw(index.row(), row)) return;
      const QRect r = option.rect;
      const bool selected = option.state & QStyle::State_Selected;
      const QPalette& pal = option.palette;
      if (selected) p->fillRect(r, pal.highlight());
      p->setPen(selected ? pal.highlightedText().color() : pal.text().color());
      if (row.Icon != ikNone) {
        impl_.Icon(row.Icon).paint(p,
                                   QRect(r.left() + row.IconLeft, r.top() + (r.height() - 16) / 2, 16, 16));
      }
      for (size_t i = 0; i < row.Cells.size(); ++i) {
        const TDrawnCell& cell = row.Cells[i];
        int right = cell.Right;
        // A cell that ends before it starts runs to the next one.
        if (right <= cell.Left) right = i + 1 < row.Cells.size() ? row.Cells[i + 1].Left : r.width();
        QRect cr(r.left() + cell.Left, r.top(), right - cell.Left, r.height());
        p->drawText(cr,
                    Qt::AlignVCenter | (cell.Alignment == taRightJustify ? Qt::AlignRight : Qt::AlignLeft),
                    Q(cell.Text));
      }
      if (option.state & QStyle::State_HasFocus) {
        p->setPen(QPen(pal.text().color(), 1, Qt::DotLine));
        p->drawRect(r.adjusted(0, 0, -1, -1));
      }
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
      int width = 0;
      if (TDrawnRow row; Draw(index.row(), row)) {
        QFontMetrics fm(option.font);
        // A left-aligned cell runs to the row's end: its text is its extent.
        for (const TDrawnCell& cell : row.Cells)
          width = std::max(width, cell.Alignment == taRightJustify
                                      ? cell.Right
                                      : cell.Left + fm.horizontalAdvance(Q(cell.Text)));
      }
      return {width, std::max(list_.ItemHeight, 8)};
    }

   private:
    // The widget may still hold rows the list has lost since (a command
    // read its folder again): those are not drawn, and they go at the next
    // pump. Nothing the list raises may pass through Qt's painting.
    bool Draw(int index, TDrawnRow& row) const {
      if (!impl_.Alive(&list_) || index < 0 || index >= list_.Count()) return false;
      try {
        row = list_.DrawItem(index);
      } catch (...) {
        return false;
      }
      return true;
    }

    Impl& impl_;
    TCustomListBox& list_;
  };

  // Runs the application's messages while Qt runs a loop of its own.
  class Nested {
   public:
    explicit Nested(Impl& impl) : impl_(impl) {
      if (impl_.nested++ == 0) impl_.ticker.start();
    }
    ~Nested() {
      if (--impl_.nested == 0) impl_.ticker.stop();
    }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

   private:
    Impl& impl_;
  };

  explicit Impl(TQtPresenter& owner) : self(owner), filter(*this) {
    // The font configuration that the drawn rows' text is matched with is
    // read now, on a thread of its own, while the program starts.
    fontsReady = std::thread([] {
      try {
        graphics::PrepareFontMatching();
      } catch (const std::exception&) {
        // Said when a text is first matched.
      }
    });
    ticker.setInterval(kNestedTickMs);
    QObject::connect(&ticker, &QTimer::timeout, [this] { NestedTick(); });
    wake.setSingleShot(true);
    previousDragLoop = os::SetDragLoop([this](os::TDragSession& session) { DragLoop(session); });
  }

  ~Impl() {
    for (std::thread* t : {&fontsReady, &qtFontsReady})
      if (t->joinable()) t->join();
    os::SetDragLoop(previousDragLoop);
    ticker.stop();
    std::vector<QPointer<QWidget>> windows;
    for (auto& [c, b] : bound)
      if (b.kind == kForm) windows.push_back(b.widget);
    bound.clear();
    owners.clear();
    for (auto& w : windows) delete w.data();
    if (cursorOverridden) QApplication::restoreOverrideCursor();
  }

  // Qt's start, where it was left for the first window or dialog: a
  // converter started on a scan has its first pages' tools running by
  // then, and the start costs the conversion next to nothing.
  void EnsureApp() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    // The window class the desktop tells our programs' windows apart by
    // (and groups them under): each program's own name.
    static std::string name = rtl::ExtractFileName(rtl::ExecutableFileName());
    if (name.empty()) name = "tarnwick";
    static char* argv[] = {name.data(), nullptr};
    ownedApp = std::make_unique<QApplication>(argc, argv);
    // Qt's font database (every family, read through fontconfig) and its
    // image readers (the icons' formats) are ready before the first window
    // asks for them; both may be filled from any thread.
    qtFontsReady = std::thread([] {
      QFontDatabase::families();
      // The faces that stand in for the default one where it lacks a
      // character (the Japanese captions), looked up once for every thread.
      QFontMetrics(QFont()).horizontalAdvance(QString::fromUtf8("ファイル処理開始"));
      QImageReader::supportedImageFormats();
    });
  }

  // Before a dialog: the windows the program has shown so far are on the
  // display first, so the dialog comes over them rather than before them.
  void Ready() {
    EnsureApp();
    ApplyForms();
  }

  bool Alive(const TControl* c) const { return bound.count(c) != 0; }

  // The style's pictures of a file and a folder, looked up once.
  const QIcon& Icon(TIconKind kind) {
    auto it = icons.find(kind);
    if (it != icons.end()) return it->second;
    QStyle::StandardPixmap pixmap = kind == ikFile         ? QStyle::SP_FileIcon
                                    : kind == ikOpenFolder ? QStyle::SP_DirOpenIcon
                                                           : QStyle::SP_DirIcon;
    return icons[kind] = QApplication::style()->standardIcon(pixmap);
  }

  // Model calls from the widgets: what they raise is the application's to
  // report, never Qt's to see.
  void Call(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      if (Application) Application->HandleException(e);
    } catch (...) {
    }
  }

  // ---- building ------------------------------------------------------------------

  QWidget* EnsureWindow(TForm& form) {
    auto it = bound.find(&form);
    if (it != bound.end() && it->second.widget) return it->second.widget;
    auto* w = new QWidget(nullptr, Qt::Window);
    Qt::WindowFlags flags = form.BorderStyle == bsDialog ? Qt::Dialog : Qt::Window;
    flags |= Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
    if (form.BorderIcons & biSystemMenu) flags |= Qt::WindowSystemMenuHint;
    if (form.BorderStyle != bsDialog && (form.BorderIcons & biMinimize))
      flags |= Qt::WindowMinimizeButtonHint;
    if (form.BorderStyle == bsSizeable && (form.BorderIcons & biMaximize))
      flags |= Qt::WindowMaximizeButtonHint;
    flags |= Qt::CustomizeWindowHint;
    w->setWindowFlags(flags);
    w->setWindowTitle(Q(form.Caption()));
    Register(form, form, kForm, w);
    BuildChildren(form, w, form);
    // Filled first: the rows and lines decide how much room they ask for.
    SyncTree(form);
    // The form's client size is the least the window gets; its content may
    // ask for more (the fonts of this desktop are not the design's).
    const QSize hint = w->sizeHint();
    const QSize size(std::max(form.ClientWidth(), hint.width()),
                     std::max(form.ClientHeight(), hint.height()));
    if (form.BorderStyle == bsSizeable) {
      w->resize(size);
    } else {
      w->setFixedSize(size);
    }
    w->move(form.Left, form.Top);
    return w;
  }

  void Register(TControl& c, TForm& form, TKind kind, QWidget* w) {
    Bound b;
    b.control = &c;
    b.form = &form;
    b.kind = kind;
    b.widget = w;
    bound[&c] = b;
    Watch(w, c);
  }

  void Watch(QWidget* w, TControl& c) {
    owners[w] = &c;
    w->installEventFilter(&filter);
    w->setAcceptDrops(true);
    QObject::connect(w, &QObject::destroyed, [this, w] { owners.erase(w); });
  }

  void BuildChildren(TWinControl& parent, QWidget* box, TForm& form) {
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(kLayoutMargin, kLayoutMargin, kLayoutMargin, kLayoutMargin);
    layout->setSpacing(kLayoutSpacing);
    if (auto* panel = dynamic_cast<TPanel*>(&parent)) {
      // A panel's caption is centred in it, above what it holds.
      auto* caption = new QLabel(box);
      caption->setAlignment(Qt::AlignCenter);
      caption->setVisible(!panel->Caption().empty());
      Watch(caption, *panel);
      layout->addWidget(caption);
    }
    std::vector<TControl*> top, middle, bottom;
    for (int i = 0; i < parent.ControlCount(); ++i) {
      TControl* c = parent.Controls(i);
      if (dynamic_cast<TTabSheet*>(c)) continue;
      (c->Align == alTop ? top : c->Align == alBottom ? bottom : middle).push_back(c);
    }
    bool client = false;
    for (TControl* c : middle) client = client || c->Align == alClient;
    std::set<TControl*> placed;
    auto place = [&](TControl* c) {
      if (placed.count(c)) return;
      for (const auto& row : kRows) {
        if (std::find(row.begin(), row.end(), c->Name) == row.end()) continue;
        auto* h = new QHBoxLayout;
        h->setSpacing(kLayoutSpacing);
        // A box for text takes the row's room; a row of buttons sits right.
        bool stretched = false;
        for (const auto& name : row)
          for (int i = 0; i < parent.ControlCount(); ++i)
            if (TControl* m = parent.Controls(i); m->Name == name && !placed.count(m)) {
              placed.insert(m);
              const TKind k = KindOf(*m);
              const bool wide = k == kEdit || k == kCombo || k == kDrive;
              if (!wide && !stretched) {
                h->addStretch(1);
                stretched = true;
              }
              stretched = stretched || wide;
              h->addWidget(Build(*m, box, form), wide ? 1 : 0);
            }
        layout->addLayout(h);
        return;
      }
      placed.insert(c);
      layout->addWidget(Build(*c, box, form), c->Align == alClient ? 1 : 0);
    };
    for (TControl* c : top) place(c);
    // Fields named by the label before them stand beside it, a grid of
    // them one under the other.
    QGridLayout* grid = nullptr;
    int gridRows = 0;
    for (size_t i = 0; i < middle.size(); ++i) {
      TControl* c = middle[i];
      TControl* next = i + 1 < middle.size() ? middle[i + 1] : nullptr;
      if (next && NamesField(*c, *next) && !InRow(*c) && !InRow(*next)) {
        if (!grid) {
          grid = new QGridLayout;
          grid->setSpacing(kLayoutSpacing);
          grid->setColumnStretch(1, 1);
          layout->addLayout(grid);
          gridRows = 0;
        }
        placed.insert(c);
        placed.insert(next);
        auto* label = static_cast<QLabel*>(Build(*c, box, form));
        label->setWordWrap(false);
        grid->addWidget(label, gridRows, 0);
        grid->addWidget(Build(*next, box, form), gridRows, 1);
        ++gridRows;
        ++i;
        continue;
      }
      grid = nullptr;
      place(c);
    }
    if (!client && !dynamic_cast<TPanel*>(&parent)) layout->addStretch(1);
    for (TControl* c : bottom) place(c);
  }

  QWidget* Build(TControl& c, QWidget* parent, TForm& form) {
    const TKind kind = KindOf(c);
    QWidget* w = nullptr;
    switch (kind) {
      case kPageControl: {
        auto& pc = static_cast<TPageControl&>(c);
        auto* tabs = new QTabWidget(parent);
        // Every tab in sight: the window is as wide as they need.
        tabs->setUsesScrollButtons(false);
        for (int i = 0; i < pc.PageCount(); ++i) {
          TTabSheet* sheet = pc.Pages(i);
          auto* page = new QWidget;
          Register(*sheet, form, kTabSheet, page);
          BuildChildren(*sheet, page, form);
          tabs->addTab(page, Q(sheet->Caption()));
        }
        QObject::connect(tabs, &QTabWidget::currentChanged, [this, &pc](int i) {
          if (!Alive(&pc)) return;
          Call([&] {
            if (TTabSheet* p = pc.Pages(i); p && p != pc.ActivePage()) pc.SetActivePage(p);
          });
        });
        w = tabs;
        break;
      }
      case kList: {
        auto& list = static_cast<TCustomListBox&>(c);
        auto* lw = new QListWidget(parent);
        lw->setItemDelegate(new RowDelegate(*this, list, lw));
        lw->setUniformItemSizes(true);
        lw->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
        lw->setSelectionMode(list.MultiSelect ? QAbstractItemView::ExtendedSelection
                                              : QAbstractItemView::SingleSelection);
        lw->setContextMenuPolicy(Qt::NoContextMenu);
        QObject::connect(lw, &QListWidget::itemSelectionChanged, [this, &list, lw] {
          if (!Alive(&list)) return;
          Call([&] {
            list.SetItemIndex(lw->currentRow());
            if (list.MultiSelect)
              for (int i = 0; i < lw->count() && i < list.Count(); ++i)
                list.SetSelected(i, lw->item(i)->isSelected());
          });
        });
        QObject::connect(lw, &QListWidget::itemClicked, [this, &list](QListWidgetItem*) {
          if (Alive(&list)) Call([&] { list.Click(); });
        });
        QObject::connect(lw, &QListWidget::itemDoubleClicked, [this, &list, lw](QListWidgetItem* item) {
          if (!Alive(&list)) return;
          Call([&] {
            list.SetItemIndex(lw->row(item));
            list.DblClick();
          });
          if (Alive(&list)) SyncControl(list);
        });
        w = lw;
        break;
      }
      case kCheckList: {
        auto& list = static_cast<TCheckListBox&>(c);
        auto* lw = new QListWidget(parent);
        QObject::connect(lw, &QListWidget::itemChanged, [this, &list, lw](QListWidgetItem* item) {
          if (!Alive(&list)) return;
          const int i = lw->row(item);
          if (i < 0 || i >= list.Count()) return;
          if ((item->checkState() == Qt::Checked) != list.Checked(i)) Call([&] { list.ClickCheck(i); });
          if (Alive(&list)) SyncControl(list);
        });
        w = lw;
        break;
      }
      case kMemo: {
        auto& memo = static_cast<TMemo&>(c);
        auto* edit = new QPlainTextEdit(parent);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        QObject::connect(edit, &QPlainTextEdit::textChanged, [this, &memo, edit] {
          if (!Alive(&memo)) return;
          std::string text = S(edit->toPlainText());
          bound[&memo].shadow = text;
          memo.Lines.clear();
          size_t at = 0;
          for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            memo.Lines.push_back(text.substr(at, nl - at));
          if (!text.empty()) memo.Lines.push_back(text.substr(at));
        });
        w = edit;
        break;
      }
      case kEdit: {
        auto& e = static_cast<TEdit&>(c);
        auto* line = new QLineEdit(parent);
        QObject::connect(line, &QLineEdit::textEdited, [this, &e, line](const QString& now) {
          if (!Alive(&e)) return;
          Call([&] { Typed(e, S(now)); });
          if (!Alive(&e)) return;
          // Keys the box's filter dropped vanish from the widget too.
          if (S(line->text()) != e.Text) {
            QSignalBlocker block(line);
            line->setText(Q(e.Text));
          }
        });
        QObject::connect(line, &QLineEdit::returnPressed, [this, &form] { PressKeyButton(form, true); });
        w = line;
        break;
      }
      case kCombo: {
        auto& box = static_cast<TComboBox&>(c);
        auto* combo = new QComboBox(parent);
        QObject::connect(combo, &QComboBox::activated, [this, &box](int i) {
          if (Alive(&box)) Call([&] { box.Select(i); });
        });
        w = combo;
        break;
      }
      case kDrive: {
        auto& box = static_cast<TDriveComboBox&>(c);
        auto* combo = new QComboBox(parent);
        QObject::connect(combo, &QComboBox::activated, [this, &box](int i) {
          if (!Alive(&box)) return;
          const std::vector<std::string> items = box.Items();
          if (i >= 0 && i < static_cast<int>(items.size()) && !items[i].empty())
            Call([&] { box.SetDrive(items[i][0]); });
        });
        w = combo;
        break;
      }
      case kCheck: {
        auto& box = static_cast<TCheckBox&>(c);
        auto* check = new QCheckBox(parent);
        QObject::connect(check, &QCheckBox::clicked, [this, &box](bool on) {
          if (Alive(&box)) Call([&] { box.SetChecked(on); });
          if (Alive(&box)) SyncControl(box);
        });
        w = check;
        break;
      }
      case kRadio: {
        auto& button = static_cast<TRadioButton&>(c);
        auto* radio = new QRadioButton(parent);
        QObject::connect(radio, &QRadioButton::toggled, [this, &button](bool on) {
          if (on && Alive(&button)) Call([&] { button.SetChecked(true); });
        });
        w = radio;
        break;
      }
      case kRadioGroup: {
        auto& group = static_cast<TRadioGroup&>(c);
        auto* box = new QGroupBox(parent);
        BuildChildren(group, box, form);
        auto* layout = static_cast<QVBoxLayout*>(box->layout());
        for (size_t i = 0; i < group.Items.size(); ++i) {
          auto* radio = new QRadioButton(Q(group.Items[i]), box);
          layout->insertWidget(static_cast<int>(i), radio);
          QObject::connect(radio, &QRadioButton::toggled, [this, &group, i](bool on) {
            if (on && Alive(&group)) Call([&] { group.Select(static_cast<int>(i)); });
          });
        }
        w = box;
        break;
      }
      case kButton: {
        auto* button = new QPushButton(parent);
        if (auto* sb = dynamic_cast<TSpeedButton*>(&c)) button->setFlat(sb->Flat);
        button->setAutoDefault(false);
        QObject::connect(button, &QPushButton::clicked, [this, &c] {
          if (Alive(&c)) Call([&] { c.Click(); });
        });
        w = button;
        break;
      }
      case kProgress: {
        auto* bar = new QProgressBar(parent);
        bar->setTextVisible(false);
        w = bar;
        break;
      }
      case kPanel: {
        auto& panel = static_cast<TPanel&>(c);
        auto* frame = new QFrame(parent);
        frame->setFrameShape(panel.BevelOuter == bvNone ? QFrame::NoFrame : QFrame::Panel);
        frame->setFrameShadow(panel.BevelOuter == bvLowered ? QFrame::Sunken : QFrame::Raised);
        BuildChildren(panel, frame, form);
        w = frame;
        break;
      }
      case kLabel: {
        auto* label = new QLabel(parent);
        // A status text longer than the window is wide goes on in a second
        // line rather than past the window's edge (see SyncControl).
        label->setWordWrap(true);
        w = label;
        break;
      }
      case kGroup: {
        // A frame with its caption over what it holds.
        auto* box = new QGroupBox(parent);
        BuildChildren(static_cast<TWinControl&>(c), box, form);
        w = box;
        break;
      }
      case kContainer: {
        auto* box = new QWidget(parent);
        BuildChildren(static_cast<TWinControl&>(c), box, form);
        w = box;
        break;
      }
      default:
        w = new QLabel(parent);
        break;
    }
    if (kind != kPanel && kind != kRadioGroup && kind != kGroup && kind != kContainer && kind != kPageControl)
      if (auto* wc = dynamic_cast<TWinControl*>(&c); wc && wc->ControlCount() > 0 && kind != kList)
        BuildChildren(*wc, w, form);
    Register(c, form, kind, w);
    if (kind == kList) Watch(static_cast<QListWidget*>(w)->viewport(), c);
    return w;
  }

  // ---- model to widget -----------------------------------------------------------

  void SyncTree(TControl& c) {
    SyncControl(c);
    if (auto* wc = dynamic_cast<TWinControl*>(&c))
      for (int i = 0; i < wc->ControlCount(); ++i) SyncTree(*wc->Controls(i));
  }

  void SyncControl(TControl& c) {
    auto it = bound.find(&c);
    if (it == bound.end() || !it->second.widget) return;
    Bound& b = it->second;
    QWidget* w = b.widget;
    QSignalBlocker block(w);
    if (b.kind != kForm && b.kind != kTabSheet && w->isHidden() == c.Visible()) w->setVisible(c.Visible());
    if (w->isEnabled() != c.Enabled()) w->setEnabled(c.Enabled());
    const QString tip = c.ShowHint ? Q(c.Hint) : QString();
    if (w->toolTip() != tip) w->setToolTip(tip);
    const QString caption = Q(c.Caption());
    switch (b.kind) {
      case kForm:
        if (w->windowTitle() != caption) w->setWindowTitle(caption);
        if (w->isVisible()) Mark(b, static_cast<TForm&>(c), w);
        break;
      case kPageControl: {
        auto& pc = static_cast<TPageControl&>(c);
        auto* tabs = static_cast<QTabWidget*>(w);
        for (int i = 0; i < pc.PageCount() && i < tabs->count(); ++i)
          if (tabs->tabText(i) != Q(pc.Pages(i)->Caption())) tabs->setTabText(i, Q(pc.Pages(i)->Caption()));
        for (int i = 0; i < pc.PageCount(); ++i)
          if (pc.Pages(i) == pc.ActivePage() && tabs->currentIndex() != i) tabs->setCurrentIndex(i);
        break;
      }
      case kList:
        SyncList(b, static_cast<TCustomListBox&>(c), static_cast<QListWidget*>(w));
        break;
      case kCheckList: {
        auto& list = static_cast<TCheckListBox&>(c);
        auto* lw = static_cast<QListWidget*>(w);
        while (lw->count() > list.Count()) delete lw->takeItem(lw->count() - 1);
        for (int i = 0; i < list.Count(); ++i) {
          if (i >= lw->count()) {
            auto* item = new QListWidgetItem(lw);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            // An item shows its box only once it has a state, unticked too.
            item->setCheckState(list.Checked(i) ? Qt::Checked : Qt::Unchecked);
          }
          QListWidgetItem* item = lw->item(i);
          if (item->text() != Q(list.Items(i))) item->setText(Q(list.Items(i)));
          const Qt::CheckState state = list.Checked(i) ? Qt::Checked : Qt::Unchecked;
          if (item->checkState() != state) item->setCheckState(state);
        }
        break;
      }
      case kMemo: {
        auto& memo = static_cast<TMemo&>(c);
        auto* edit = static_cast<QPlainTextEdit*>(w);
        std::string text = JoinLines(memo.Lines);
        if (text != b.shadow) {
          // Lines added to a memo that showed some already are a log: the
          // newest stays in sight. Its first lines are read from the top.
          const bool appended = !b.shadow.empty();
          b.shadow = text;
          edit->setPlainText(Q(text));
          if (appended) edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
          // Room for its lines as far as the screen allows.
          const QFontMetrics fm(edit->font());
          int widest = 0;
          for (const auto& line : memo.Lines) widest = std::max(widest, fm.horizontalAdvance(Q(line)));
          const int lines = std::min<int>(static_cast<int>(memo.Lines.size()), kMemoMostLines);
          edit->setMinimumSize(
              std::max(edit->minimumWidth(), std::min(widest + kMemoPadding, kWidestControl)),
              std::max(edit->minimumHeight(), lines * fm.lineSpacing() + kMemoPadding));
        }
        edit->setReadOnly(memo.ReadOnly);
        break;
      }
      case kEdit: {
        auto& e = static_cast<TEdit&>(c);
        auto* line = static_cast<QLineEdit*>(w);
        if (S(line->text()) != e.Text) line->setText(Q(e.Text));
        line->setEchoMode(e.PasswordChar ? QLineEdit::Password : QLineEdit::Normal);
        line->setReadOnly(e.ReadOnly);
        break;
      }
      case kCombo: {
        auto& box = static_cast<TComboBox&>(c);
        auto* combo = static_cast<QComboBox*>(w);
        SyncItems(b, combo, box.Items);
        if (combo->currentIndex() != box.ItemIndex()) combo->setCurrentIndex(box.ItemIndex());
        break;
      }
      case kDrive: {
        auto& box = static_cast<TDriveComboBox&>(c);
        auto* combo = static_cast<QComboBox*>(w);
        const std::vector<std::string> items = box.Items();
        SyncItems(b, combo, items);
        for (size_t i = 0; i < items.size(); ++i)
          if (!items[i].empty() && items[i][0] == box.Drive() && combo->currentIndex() != static_cast<int>(i))
            combo->setCurrentIndex(static_cast<int>(i));
        break;
      }
      case kCheck: {
        auto* check = static_cast<QCheckBox*>(w);
        if (check->text() != caption) check->setText(caption);
        const bool on = static_cast<TCheckBox&>(c).Checked();
        if (check->isChecked() != on) check->setChecked(on);
        break;
      }
      case kRadio: {
        auto* radio = static_cast<QRadioButton*>(w);
        if (radio->text() != caption) radio->setText(caption);
        const bool on = static_cast<TRadioButton&>(c).Checked();
        if (radio->isChecked() != on) {
          // An exclusive button cannot be unchecked by itself.
          radio->setAutoExclusive(false);
          radio->setChecked(on);
          radio->setAutoExclusive(true);
        }
        break;
      }
      case kGroup: {
        auto* box = static_cast<QGroupBox*>(w);
        if (box->title() != caption) box->setTitle(caption);
        break;
      }
      case kRadioGroup: {
        auto& group = static_cast<TRadioGroup&>(c);
        auto* box = static_cast<QGroupBox*>(w);
        if (box->title() != caption) box->setTitle(caption);
        const QList<QRadioButton*> radios = box->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly);
        int i = 0;
        for (QRadioButton* r : radios) {
          if (owners.count(r)) continue;  // a radio button control of its own
          QSignalBlocker b2(r);
          const bool on = i == group.ItemIndex();
          if (r->isChecked() != on) {
            r->setAutoExclusive(false);
            r->setChecked(on);
            r->setAutoExclusive(true);
          }
          ++i;
        }
        break;
      }
      case kButton: {
        auto* button = static_cast<QPushButton*>(w);
        const QString text = Q(ButtonText(c));
        if (button->text() != text) button->setText(text);
        break;
      }
      case kProgress: {
        auto& pb = static_cast<TProgressBar&>(c);
        auto* bar = static_cast<QProgressBar*>(w);
        const bool range = bar->minimum() != pb.Min() || bar->maximum() != pb.Max();
        if (range || bar->value() != pb.Position()) {
          // The bar repaints itself at once on each step, a round trip to
          // the display every page; its step is painted with the rest of
          // the window at the next pump instead.
          bar->setUpdatesEnabled(false);
          if (range) bar->setRange(pb.Min(), pb.Max());
          bar->setValue(pb.Position());
          bar->setUpdatesEnabled(true);
        }
        break;
      }
      case kPanel: {
        if (auto* label = w->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly)) {
          if (label->text() != caption) label->setText(caption);
          if (label->isHidden() != caption.isEmpty()) label->setVisible(!caption.isEmpty());
        }
        break;
      }
      case kLabel:
      case kOther: {
        auto* label = static_cast<QLabel*>(w);
        // A label that does something when clicked is a link.
        const bool link = b.kind == kLabel && c.OnClick;
        if (label->font().underline() != link) {
          QFont f = label->font();
          f.setUnderline(link);
          label->setFont(f);
          label->setStyleSheet(link ? "color: #0645ad" : "");
          if (link)
            label->setCursor(Qt::PointingHandCursor);
          else
            label->unsetCursor();
        }
        const QString text = Q(TerminalText(c.Caption()));
        if (label->text() != text) {
          label->setText(text);
          // A page of tabs does not pass a wrapped text's height on to its
          // layout: the label asks for the lines its text takes at its width
          // (once given, the room stays, so the window does not jump back).
          if (label->wordWrap() && label->width() > 0) {
            const int needed = label->heightForWidth(label->width());
            if (needed > label->minimumHeight()) label->setMinimumHeight(needed);
          }
        }
        break;
      }
      default:
        break;
    }
  }

  // A shown window of ours carries its directory handle, so that the
  // window list (ours, and the other programs' that read it) gives it once,
  // whatever its title says meanwhile.
  static void Mark(Bound& b, TForm& form, QWidget* w) {
    if (!form.Handle() || b.marked == form.Handle() || QGuiApplication::platformName() != "xcb") return;
    if (os::TXDisplay::Default().SetDirectoryHandle(os::kXWindowFlag | w->winId(), form.Handle()))
      b.marked = form.Handle();
  }

  void SyncItems(Bound& b, QComboBox* combo, const std::vector<std::string>& items) {
    const std::string key = JoinLines(items);
    if (key == b.shadow && combo->count() == static_cast<int>(items.size())) return;
    b.shadow = key;
    combo->clear();
    for (const auto& s : items) combo->addItem(Q(s));
  }

  void SyncList(Bound& b, TCustomListBox& list, QListWidget* lw) {
    QSignalBlocker block(lw);
    QSignalBlocker blockSelection(lw->selectionModel());
    std::string key;
    for (int i = 0; i < list.Count(); ++i) {
      key += list.Items()[i];
      key += '\n';
    }
    bool changed = false;
    if (key != b.shadow || lw->count() != list.Count()) {
      b.shadow = key;
      lw->clear();
      for (int i = 0; i < list.Count(); ++i) lw->addItem(Q(list.Items()[i]));
      changed = true;
    }
    // The rows are drawn to the list's width: the window decides it.
    const int width = lw->viewport()->width();
    if (width > 0 && list.Width != width) {
      list.Width = width;
      changed = true;
    }
    for (int i = 0; i < lw->count(); ++i) {
      const bool on = list.Selected(i);
      if (lw->item(i)->isSelected() != on) {
        lw->item(i)->setSelected(on);
        changed = true;
      }
    }
    if (lw->currentRow() != list.ItemIndex()) {
      lw->setCurrentRow(list.ItemIndex(), QItemSelectionModel::NoUpdate);
      changed = true;
    }
    if (changed) {
      // Wide enough for its rows' columns as far as the screen allows.
      if (lw->count() > 0) {
        const int rows =
            lw->sizeHintForColumn(0) + lw->verticalScrollBar()->sizeHint().width() + 2 * lw->frameWidth();
        if (rows > lw->minimumWidth()) lw->setMinimumWidth(std::min(rows, kWidestControl));
      }
      lw->viewport()->update();
    }
  }

  // ---- forms shown and hidden ------------------------------------------------

  void ApplyForms() {
    if (pendingForms.empty()) return;
    std::vector<TControl*> forms(pendingForms.begin(), pendingForms.end());
    pendingForms.clear();
    for (TControl* c : forms) {
      auto* f = dynamic_cast<TForm*>(c);
      if (!f) continue;
      if (f->Modal()) continue;  // ShowModal shows it
      if (f->Visible()) {
        QWidget* w = EnsureWindow(*f);
        SyncTree(*f);
        if (!w->isVisible()) w->show();
        Mark(bound[f], *f, w);
      } else if (QWidget* w = WidgetOf(*f); w && w->isVisible()) {
        w->hide();
      }
    }
  }

  void SyncAll() {
    for (auto& [c, b] : bound)
      if (b.kind == kForm && b.widget && b.widget->isVisible()) SyncTree(*b.control);
  }

  void Pump(bool withQt) {
    const auto now = std::chrono::steady_clock::now();
    EnsureApp();
    // A batch pumps several times per page: the display's events (and the
    // repaints of what changed meanwhile) are taken at most this often, so
    // that showing the window costs the conversion next to nothing.
    if (withQt && !skipQt && now - lastQtPump >= kQtPumpInterval) {
      lastQtPump = now;
      QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    ApplyForms();
    if (now - lastFullSync >= kFullSyncInterval) {
      lastFullSync = now;
      dirty.clear();
      SyncAll();
    } else if (!dirty.empty()) {
      std::vector<TControl*> list(dirty.begin(), dirty.end());
      dirty.clear();
      for (TControl* c : list)
        if (Alive(c)) SyncControl(*c);
    }
    const bool busy = Screen && Screen->Cursor == crHourGlass;
    if (busy != cursorOverridden) {
      if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
      else
        QApplication::restoreOverrideCursor();
      cursorOverridden = busy;
    }
  }

  void NestedTick() {
    if (ticking || !Application) return;
    ticking = true;
    skipQt = true;
    try {
      Application->ProcessMessages();
    } catch (...) {
    }
    skipQt = false;
    ticking = false;
    // The program is ending (a termination signal, its main window closed):
    // a dialog or menu still open would keep it waiting for a person who
    // may not be there. It goes as though cancelled.
    if (Application->Terminated()) {
      if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
    }
  }

  // ---- widget to model -----------------------------------------------------------

  // A typed key reaches the box through KeyPress, so that its filter runs;
  // anything else (a paste, an edit in the middle) replaces the text.
  static void Typed(TEdit& e, const std::string& now) {
    const std::string& was = e.Text;
    if (now.size() > was.size() && now.compare(0, was.size(), was) == 0) {
      const std::string added = now.substr(was.size());
      for (char ch : added) e.KeyPress(ch);
    } else if (now.size() < was.size() && was.compare(0, now.size(), now) == 0) {
      int chars = 0;
      for (size_t i = now.size(); i < was.size(); ++i)
        if ((static_cast<unsigned char>(was[i]) & 0xC0) != 0x80) ++chars;
      for (int i = 0; i < chars; ++i) e.KeyPress('\b');
    } else {
      e.Text = now;
    }
  }

  // Enter presses the form's default button (or its OK button), Escape its
  // cancel button.
  void PressKeyButton(TForm& form, bool enter) {
    if (!Alive(&form)) return;
    TButton* pick = nullptr;
    std::function<void(TWinControl&)> walk = [&](TWinControl& p) {
      for (int i = 0; i < p.ControlCount() && !pick; ++i) {
        TControl* c = p.Controls(i);
        if (auto* b = dynamic_cast<TButton*>(c); b && b->Visible() && b->Enabled()) {
          if (enter ? (b->Default || b->ModalResult == mrOk) : (b->Cancel || b->ModalResult == mrCancel))
            pick = b;
        }
        if (auto* wc = dynamic_cast<TWinControl*>(c)) walk(*wc);
      }
    };
    walk(form);
    if (pick) {
      Call([&] { pick->Click(); });
    } else if (!enter && form.Modal()) {
      Call([&] { form.Close(); });
    }
  }

  TControl* ControlAt(QObject* o) const {
    auto it = owners.find(o);
    return it == owners.end() ? nullptr : it->second;
  }

  // The nearest control at or above c that takes dropped files.
  static TWinControl* DropWindowOf(TControl* c) {
    for (; c; c = c->Parent())
      if (auto* wc = dynamic_cast<TWinControl*>(c);
          wc && os::DragAcceptsFiles(static_cast<const TWinControl*>(wc)))
        return wc;
    return nullptr;
  }

  static std::vector<std::string> LocalFiles(const QMimeData* data) {
    std::vector<std::string> files;
    if (!data || !data->hasUrls()) return files;
    for (const QUrl& url : data->urls())
      if (url.isLocalFile()) files.push_back(S(url.toLocalFile()));
    return files;
  }

  bool OnEvent(QObject* o, QEvent* e) {
    TControl* c = ControlAt(o);
    if (!c || !Alive(c)) return false;
    auto* widget = qobject_cast<QWidget*>(o);
    switch (e->type()) {
      case QEvent::Close: {
        auto it = bound.find(c);
        if (it == bound.end() || it->second.kind != kForm || it->second.widget != o) return false;
        // The form decides: its OnClose may keep it open or put the close off.
        e->ignore();
        auto* form = static_cast<TForm*>(c);
        Call([&] { form->Close(); });
        if (Alive(form)) pendingForms.insert(form);
        return true;
      }
      case QEvent::Move: {
        auto it = bound.find(c);
        if (it != bound.end() && it->second.kind == kForm && it->second.widget == o && widget->isVisible()) {
          c->Left = widget->frameGeometry().x();
          c->Top = widget->frameGeometry().y();
        }
        return false;
      }
      case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(e);
        auto it = bound.find(c);
        if (k->key() == Qt::Key_Escape && it != bound.end() && it->second.kind == kForm) {
          PressKeyButton(*static_cast<TForm*>(c), false);
          return true;
        }
        return false;
      }
      case QEvent::MouseButtonPress: {
        auto* m = static_cast<QMouseEvent*>(e);
        const QPoint p = m->position().toPoint();
        if (m->button() == Qt::RightButton) {
          if (auto* list = dynamic_cast<TCustomListBox*>(c); list && list->PopupMenu) {
            PopupAt(*list, *list->PopupMenu, m->globalPosition().toPoint());
            return true;
          }
        }
        lastPressed = widget;
        const TMouseButton button = m->button() == Qt::RightButton    ? mbRight
                                    : m->button() == Qt::MiddleButton ? mbMiddle
                                                                      : mbLeft;
        Call([&] { c->MouseDown(button, ShiftOf(m->buttons(), m->modifiers()), p.x(), p.y()); });
        return false;
      }
      case QEvent::MouseButtonRelease: {
        auto* m = static_cast<QMouseEvent*>(e);
        if (m->button() == Qt::LeftButton && KindOf(*c) == kLabel && c->OnClick &&
            widget->rect().contains(m->position().toPoint()))
          Call([&] { c->Click(); });
        return false;
      }
      case QEvent::MouseMove: {
        auto* m = static_cast<QMouseEvent*>(e);
        if (!c->OnMouseMove) return false;
        const QPoint p = m->position().toPoint();
        lastPressed = widget;
        Call([&] { c->MouseMove(ShiftOf(m->buttons(), m->modifiers()), p.x(), p.y()); });
        return false;
      }
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* d = static_cast<QDropEvent*>(e);
        // A drag of our own (the produced files from the drag panel) is
        // not for our drop targets: taken as a batch, it would delete the
        // very files it offers.
        std::vector<std::string> files =
            DropWindowOf(c) && !d->source() ? LocalFiles(d->mimeData()) : std::vector<std::string>{};
        if (!files.empty()) {
          dragFiles = std::move(files);
          d->setDropAction(Qt::CopyAction);
          d->accept();
        } else {
          d->ignore();
        }
        return true;
      }
      case QEvent::Drop: {
        auto* d = static_cast<QDropEvent*>(e);
        TWinControl* target = d->source() ? nullptr : DropWindowOf(c);
        std::vector<std::string> files = LocalFiles(d->mimeData());
        // The X drop may no longer hand over the data it offered while the
        // pointer moved over us: the names seen then are the drop's.
        if (files.empty()) files = dragFiles;
        dragFiles.clear();
        if (!target || files.empty()) {
          d->ignore();
          return true;
        }
        os::TDropFiles drop;
        drop.Files = std::move(files);
        QWidget* tw = WidgetOf(*target);
        const QPoint at =
            tw ? tw->mapFromGlobal(widget->mapToGlobal(d->position().toPoint())) : d->position().toPoint();
        drop.X = at.x();
        drop.Y = at.y();
        d->setDropAction(Qt::CopyAction);
        d->accept();
        // The other program waits for the end of its drop: the batch runs
        // from the message queue once the drop has returned.
        const os::TDropWindow key = static_cast<const TWinControl*>(target);
        if (Application) Application->PostMessage([key, drop] { os::DeliverDrop(key, drop); });
        return true;
      }
      case QEvent::DragLeave:
        dragFiles.clear();
        return false;
      default:
        return false;
    }
  }

  void PopupAt(TCustomListBox& list, TPopupMenu& menu, const QPoint& global) {
    Call([&] { menu.Popup(&list, global.x(), global.y()); });
    if (!Alive(&list)) return;
    QMenu qmenu;
    std::map<QAction*, TMenuItem*> items;
    for (int i = 0; i < menu.Count(); ++i) {
      TMenuItem* item = menu.Items(i);
      if (!item->Visible) continue;
      if (item->IsLine()) {
        qmenu.addSeparator();
        continue;
      }
      QAction* a = qmenu.addAction(Q(item->Caption));
      a->setEnabled(item->Enabled);
      items[a] = item;
    }
    QAction* chosen = nullptr;
    {
      Nested nested(*this);
      chosen = qmenu.exec(global);
    }
    if (auto it = items.find(chosen); it != items.end()) Call([&] { it->second->Click(); });
  }

  // ---- drags out -------------------------------------------------------------------

  void DragLoop(os::TDragSession& session) {
    EnsureApp();
    os::STGMEDIUM medium;
    std::vector<std::string> files;
    if (session.Data().GetData({os::CF_HDROP, nullptr, os::DVASPECT_CONTENT, -1, os::TYMED_HGLOBAL},
                               medium) == os::S_OK)
      files = DropFileNames(medium.hGlobal);
    if (files.empty()) {
      session.Step(nullptr, 0, true);
      return;
    }
    auto* data = new QMimeData;
    QList<QUrl> urls;
    QString text;
    for (const auto& f : files) {
      urls.push_back(QUrl::fromLocalFile(Q(f)));
      if (!text.isEmpty()) text += '\n';
      text += Q(f);
    }
    data->setUrls(urls);
    data->setText(text);
    Qt::DropActions actions;
    const uint32_t allowed = session.AllowedEffects();
    if (allowed & os::DROPEFFECT_COPY) actions |= Qt::CopyAction;
    if (allowed & os::DROPEFFECT_MOVE) actions |= Qt::MoveAction;
    if (allowed & os::DROPEFFECT_LINK) actions |= Qt::LinkAction;
    QObject* source = lastPressed ? static_cast<QObject*>(lastPressed.data()) : QApplication::instance();
    QDrag drag(source);
    drag.setMimeData(data);
    Qt::DropAction done = Qt::IgnoreAction;
    {
      Nested nested(*this);
      done = drag.exec(actions, (actions & Qt::CopyAction) ? Qt::CopyAction : Qt::MoveAction);
    }
    uint32_t effect = done == Qt::CopyAction   ? os::DROPEFFECT_COPY
                      : done == Qt::MoveAction ? os::DROPEFFECT_MOVE
                      : done == Qt::LinkAction ? os::DROPEFFECT_LINK
                                               : os::DROPEFFECT_NONE;
    // The drag ends when the drop is sent, with the action the target
    // last announced: a target that moves the files (a file manager asked
    // for a move at the drop) does so as it takes the drop, a moment later.
    // The files it took are gone once this returns, for the source to see,
    // and the effect is a move.
    if (effect != os::DROPEFFECT_NONE && (allowed & os::DROPEFFECT_MOVE)) {
      const auto until = std::chrono::steady_clock::now() + kMoveSettleTime;
      auto left = [&] {
        size_t n = 0;
        for (const auto& f : files) n += ::access(f.c_str(), F_OK) == 0 ? 1 : 0;
        return n;
      };
      while (left() == files.size() && std::chrono::steady_clock::now() < until) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, kNestedTickMs);
        ::poll(nullptr, 0, kNestedTickMs);
      }
      if (left() < files.size()) effect = os::DROPEFFECT_MOVE;
    }
    if (effect == os::DROPEFFECT_NONE) {
      session.Step(nullptr, 0, true);
      return;
    }
    // The target has taken the data already; the session hears of it as
    // a target under the pointer when the button is let go.
    os::TDropTarget target;
    target.Over = [effect](os::IDataObject&, uint32_t, uint32_t) { return effect; };
    target.Drop = [effect](os::IDataObject&, uint32_t, uint32_t) { return effect; };
    if (session.Step(&target, os::MK_LBUTTON)) session.Step(&target, 0);
  }

  QWidget* WidgetOf(const TControl& c) const {
    auto it = bound.find(&c);
    return it == bound.end() ? nullptr : it->second.widget.data();
  }

  // The window a dialog opens over: the shown form that asked for it, else
  // a window of ours that is modal or has the focus, else the main window.
  // The focus alone is not enough: while the user is in another program no
  // window of ours has it, and a dialog without a parent opens wherever the
  // window manager puts a window of nobody's.
  QWidget* DialogParent(const rtl::TComponent* asker) const {
    auto shown = [this](const rtl::TComponent* c) -> QWidget* {
      auto* f = dynamic_cast<const TForm*>(c);
      QWidget* w = f ? WidgetOf(*f) : nullptr;
      return w && w->isVisible() ? w : nullptr;
    };
    for (const rtl::TComponent* c = asker; c; c = c->Owner())
      if (QWidget* w = shown(c)) return w;
    if (QWidget* w = QApplication::activeModalWidget()) return w;
    if (QWidget* w = QApplication::activeWindow()) return w;
    if (QWidget* w = Application ? shown(Application->MainForm()) : nullptr) return w;
    for (const auto& [c, b] : bound)
      if (b.kind == kForm && b.widget && b.widget->isVisible()) return b.widget;
    return nullptr;
  }

  TQtPresenter& self;
  std::unique_ptr<QApplication> ownedApp;
  Filter filter;
  std::unordered_map<const TControl*, Bound> bound;
  std::unordered_map<const QObject*, TControl*> owners;
  std::set<TControl*> pendingForms;
  std::set<TControl*> dirty;
  std::chrono::steady_clock::time_point lastFullSync{};
  std::chrono::steady_clock::time_point lastQtPump{};
  QTimer ticker;
  QTimer wake;
  int nested = 0;
  bool ticking = false;
  bool skipQt = false;
  bool cursorOverridden = false;
  QPointer<QWidget> lastPressed;
  // The local files of the drag over our windows now.
  std::vector<std::string> dragFiles;
  std::map<TIconKind, QIcon> icons;
  os::TDragLoop previousDragLoop;
  std::thread fontsReady;
  std::thread qtFontsReady;
};

TQtPresenter::TQtPresenter(TStart start) : impl_(std::make_unique<Impl>(*this)) {
  if (start == TStart::Now) impl_->EnsureApp();
}

TQtPresenter::~TQtPresenter() = default;

void TQtPresenter::PumpEvents() {
  impl_->Pump(true);
}

void TQtPresenter::WaitForEvents(int ms) {
  if (impl_->nested > 0 || impl_->skipQt) {
    TPresenter::WaitForEvents(ms);
    return;
  }
  impl_->EnsureApp();
  // The timer makes sure the wait ends; any event of the display ends it
  // earlier.
  impl_->wake.start(ms);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TQtPresenter::FormStateChanged(TForm& form) {
  impl_->pendingForms.insert(&form);
}

void TQtPresenter::ControlChanged(TControl& control) {
  if (impl_->Alive(&control)) impl_->dirty.insert(&control);
}

void TQtPresenter::ControlFreed(TControl& control) {
  Impl& d = *impl_;
  d.pendingForms.erase(&control);
  d.dirty.erase(&control);
  auto it = d.bound.find(&control);
  if (it == d.bound.end()) return;
  Impl::Bound b = it->second;
  d.bound.erase(it);
  if (b.kind == kForm) {
    // The window goes with its form, and every widget in it.
    for (auto i = d.bound.begin(); i != d.bound.end();) {
      if (i->second.form == &control) {
        d.dirty.erase(i->second.control);
        i = d.bound.erase(i);
      } else {
        ++i;
      }
    }
    delete b.widget.data();
  } else if (b.widget) {
    b.widget->hide();
  }
  for (auto i = d.owners.begin(); i != d.owners.end();) {
    if (i->second == &control)
      i = d.owners.erase(i);
    else
      ++i;
  }
}

void TQtPresenter::Refresh() {
  impl_->EnsureApp();
  impl_->ApplyForms();
  impl_->SyncAll();
}

QWidget* TQtPresenter::WidgetOf(const TControl& control) const {
  return impl_->WidgetOf(control);
}

TModalResult TQtPresenter::Message(const TMessageRequest& request) {
  impl_->Ready();
  QMessageBox::Icon icon = request.Type == mtError          ? QMessageBox::Critical
                           : request.Type == mtWarning      ? QMessageBox::Warning
                           : request.Type == mtConfirmation ? QMessageBox::Question
                           : request.Type == mtInformation  ? QMessageBox::Information
                                                            : QMessageBox::NoIcon;
  std::string caption = request.Caption;
  if (caption.empty() && Application) caption = Application->Title;
  HeldDialog<QMessageBox> box(new QMessageBox(icon, Q(caption), Q(TerminalText(request.Text)),
                                              QMessageBox::NoButton, impl_->DialogParent(nullptr)));
  // Qt's own button texts would read in English without its translations.
  struct Choice {
    TMsgDlgButtons button;
    TModalResult result;
    const char* text;
    QMessageBox::ButtonRole role;
  };
  static const Choice kChoices[] = {
      {mbYes, mrYes, "はい", QMessageBox::YesRole},
      {mbNo, mrNo, "いいえ", QMessageBox::NoRole},
      {mbOK, mrOk, "OK", QMessageBox::AcceptRole},
      {mbCancel, mrCancel, "キャンセル", QMessageBox::RejectRole},
      {mbAbort, mrAbort, "中止", QMessageBox::RejectRole},
      {mbRetry, mrRetry, "再試行", QMessageBox::AcceptRole},
      {mbIgnore, mrIgnore, "無視", QMessageBox::AcceptRole},
  };
  std::map<QAbstractButton*, TModalResult> results;
  QPushButton* first = nullptr;
  QPushButton* escape = nullptr;
  for (const Choice& c : kChoices) {
    if (!(request.Buttons & c.button)) continue;
    QPushButton* b = box->addButton(Q(c.text), c.role);
    results[b] = c.result;
    if (!first) first = b;
    if (c.button == mbCancel || (c.button == mbNo && !(request.Buttons & mbCancel))) escape = b;
  }
  if (results.empty()) {
    QPushButton* b = box->addButton("OK", QMessageBox::AcceptRole);
    results[b] = mrOk;
    first = b;
  }
  box->setDefaultButton(first);
  if (escape) box->setEscapeButton(escape);
  {
    Impl::Nested nested(*impl_);
    box->exec();
  }
  auto it = results.find(box ? box->clickedButton() : nullptr);
  return it == results.end() ? SafeDefault(request.Buttons) : it->second;
}

std::string TQtPresenter::QtFilter(const std::string& filter) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (size_t bar; (bar = filter.find('|', at)) != std::string::npos; at = bar + 1)
    parts.push_back(filter.substr(at, bar - at));
  parts.push_back(filter.substr(at));
  std::string out;
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string text = parts[i];
    std::string patterns = parts[i + 1];
    for (char& ch : patterns)
      if (ch == ';') ch = ' ';
    // Qt takes the patterns from the last parentheses of the text.
    if (text.size() < patterns.size() + 2 ||
        text.compare(text.size() - patterns.size() - 2, std::string::npos, "(" + patterns + ")") != 0)
      text += " (" + patterns + ")";
    if (!out.empty()) out += ";;";
    out += text;
  }
  return out;
}

bool TQtPresenter::OpenFiles(TOpenDialog& dialog) {
  impl_->Ready();
  HeldDialog<QFileDialog> box(
      new QFileDialog(impl_->DialogParent(&dialog), Q(dialog.Title), Q(dialog.InitialDir)));
  box->setOption(QFileDialog::DontUseNativeDialog, true);
  box->setFileMode((dialog.Options & ofAllowMultiSelect) ? QFileDialog::ExistingFiles
                                                         : QFileDialog::ExistingFile);
  const std::string filters = QtFilter(dialog.Filter);
  if (!filters.empty()) box->setNameFilter(Q(filters));
  std::string ext = dialog.DefaultExt;
  if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
  if (!ext.empty()) box->setDefaultSuffix(Q(ext));
  int result = 0;
  {
    Impl::Nested nested(*impl_);
    result = box->exec();
  }
  if (result != QDialog::Accepted || !box) return false;
  dialog.Files.clear();
  for (const QString& f : box->selectedFiles()) dialog.Files.push_back(S(f));
  return !dialog.Files.empty();
}

bool TQtPresenter::ChooseFolder(const std::string& title, std::string& folder) {
  impl_->Ready();
  HeldDialog<QFileDialog> box(new QFileDialog(impl_->DialogParent(nullptr), Q(title), Q(folder)));
  box->setOption(QFileDialog::DontUseNativeDialog, true);
  box->setFileMode(QFileDialog::Directory);
  box->setOption(QFileDialog::ShowDirsOnly, true);
  int result = 0;
  {
    Impl::Nested nested(*impl_);
    result = box->exec();
  }
  if (result != QDialog::Accepted || !box || box->selectedFiles().isEmpty()) return false;
  folder = S(box->selectedFiles().front());
  return true;
}

TModalResult TQtPresenter::ShowModal(TForm& form) {
  Impl& d = *impl_;
  d.Ready();
  QWidget* w = d.EnsureWindow(form);
  w->setWindowModality(Qt::ApplicationModal);
  w->move(form.Left, form.Top);
  d.SyncTree(form);
  w->show();
  Impl::Mark(d.bound[&form], form, w);
  w->raise();
  w->activateWindow();
  if (QLineEdit* edit = w->findChild<QLineEdit*>()) edit->setFocus();
  while (form.ModalResult == mrNone && form.Visible() && d.Alive(&form)) {
    if (Application) {
      if (Application->Terminated()) break;
      Application->ProcessMessages();
    } else {
      d.Pump(true);
    }
    if (form.ModalResult != mrNone) break;
    WaitForEvents(TApplication::kIdleSliceMs);
  }
  if (QWidget* still = d.WidgetOf(form)) {
    still->hide();
    still->setWindowModality(Qt::NonModal);
  }
  return form.ModalResult;
}

}  // namespace forms
