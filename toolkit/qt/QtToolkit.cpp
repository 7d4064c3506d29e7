#include "toolkit/qt/QtToolkit.h"

#include <qdrawutil.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QFont>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QHash>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QStyle>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "app/FlashForm.h"
#include "common/System.h"
#include "platform/linux/Platform.h"
#include "platform/linux/WorkSignals.h"

namespace {

// Texts are 8-bit: every byte maps to the code point of the same value and back.
QString ToQt(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// A window title shows "[*]" only when it is doubled; a single one is Qt's
// modification marker and would vanish.
QString TitleText(const std::string& caption) {
  return ToQt(caption).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

// A message box that tells closing it apart from answering it. Closing runs the
// close event; a button or the Escape key (which presses "No") does not.
class AnswerBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;
  bool ClosedWithoutAnswer() const { return closed_; }

 protected:
  void closeEvent(QCloseEvent* event) override {
    closed_ = true;
    QMessageBox::closeEvent(event);
  }

 private:
  bool closed_ = false;
};

// While a message box is up, only a key pressed after it appeared reaches it. A
// key that was already down when it opened (Enter held on FLASH past the
// keyboard's repeat delay) arrives as repeated presses and at last a release:
// neither is a press, so holding a key never answers the box it opened. On X a
// repeat is a release and a press at one moment, which Qt marks as repeated only
// when both have arrived together: a press at the moment of a release taken from
// a key held from before is a repeat too.
class FreshKeysOnly : public QObject {
 public:
  explicit FreshKeysOnly(const QWidget& box) : box_(box) {
    QCoreApplication::instance()->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride)
      return false;
    const auto* widget = qobject_cast<const QWidget*>(object);
    if (widget == nullptr || widget->window() != &box_) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    // The key by its place on the keyboard where the platform tells it: a press
    // and its release name the same one, whatever the modifiers do meanwhile.
    const quint64 id = key->nativeScanCode() != 0 ? key->nativeScanCode() : (quint64{1} << 32) | key->key();
    bool dropped = key->isAutoRepeat();
    if (!dropped && type == QEvent::KeyRelease) {
      dropped = !pressed_.contains(id);
      if (dropped) heldReleased_.insert(id, key->timestamp());
    } else if (!dropped) {
      dropped = heldReleased_.contains(id) && heldReleased_.value(id) == key->timestamp();
      if (!dropped && type == QEvent::KeyPress) pressed_.insert(id);
    }
    // Taken, so that it goes no further (nor to the parents of the widget it was
    // meant for); as a shortcut override it also keeps the box's shortcuts from firing.
    if (dropped) event->accept();
    return dropped;
  }

 private:
  const QWidget& box_;
  QSet<quint64> pressed_;                 // keys pressed since the box appeared
  QHash<quint64, quint64> heldReleased_;  // when a key held from before was last released
};

// Shows a message box until it is answered or closed.
void RunBox(QMessageBox& box) {
  FreshKeysOnly keys(box);
  box.exec();
}

// The window's font: bold and 16 pixels high, the whole line (ascent and
// descent) as the platform's system font measures it, so a caption fits the 16
// pixels above the controls that the design leaves it.
QFont WindowFont() {
  QFont font = QApplication::font();
  font.setBold(true);
  for (int size = 16; size > 8; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).height() <= 16) break;
  }
  return font;
}

// The widest status lines the group box shows whole: the update's, but for its
// read-back failure line, which no readable font fits; and a build's, with a
// file named in eight and three characters.
constexpr const char* kWidestCaptions[] = {
    "Read back and Verify drive's DRAM... , Valid Profile Fail!",
    "Read back and Verify drive's DRAM... , Read Fail! ",
    "Don't turn off the system, Flash is in progress...",
    "Write profile to drive's DRAM... , Fail! ",
    "Building 1A2B3C4D.BIN  Please wait... ",
    "Build 1A2B.EXE complete!",
};
constexpr int kSmallestCaptionPixels = 11;
constexpr int kNarrowestCaptionStretch = 75;

int WidestCaption(const QFont& font) {
  const QFontMetrics metrics(font);
  int widest = 0;
  for (const char* caption : kWidestCaptions) {
    widest = std::max(widest, metrics.horizontalAdvance(QString::fromLatin1(caption)));
  }
  return widest;
}

// The window's font, as large and as little narrowed as the widest status lines
// allow within the given width.
QFont CaptionFont(const QFont& windowFont, int width) {
  QFont font = windowFont;
  const int largest = windowFont.pixelSize() > 0 ? windowFont.pixelSize() : QFontInfo(windowFont).pixelSize();
  for (int size = largest; size >= kSmallestCaptionPixels; --size) {
    font.setPixelSize(size);
    font.setStretch(QFont::Unstretched);
    const int widest = WidestCaption(font);
    // Narrowing scales the width nearly in proportion: start there, then measure.
    for (int stretch = std::min(100, 100 * width / std::max(widest, 1)); stretch >= kNarrowestCaptionStretch;
         --stretch) {
      font.setStretch(stretch);
      if (WidestCaption(font) <= width) return font;
    }
  }
  return font;
}

// A group box whose caption sits on its frame line, as the design places it: the
// progress bar and the button start right below the caption, at 16 pixels. The
// caption has a font of its own, in which every status line fits whole but one
// longer still; that one loses its middle, so its end, the outcome, shows.
class CaptionedGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

  void SetCaption(const QString& caption) {
    caption_ = caption;
    // As a group box title "&" marks a shortcut; every "&" here is shown as it stands.
    setTitle(QString(caption).replace(QLatin1Char('&'), QStringLiteral("&&")));
  }
  void SetCaptionFont(const QFont& font) { captionFont_ = font; }
  const QFont& CaptionFont() const { return captionFont_; }
  // The caption within the frame, 8 pixels from each end.
  QString ShownCaption() const {
    return QFontMetrics(captionFont_).elidedText(caption_, Qt::ElideMiddle, width() - 16);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    // An etched line, drawn here: styles put their group frame below a caption.
    qDrawShadeRect(&painter, rect().adjusted(0, metrics.height() / 2, 0, 0), palette(), true, 1, 0);
    if (caption_.isEmpty()) return;
    const QString shown = ShownCaption();
    painter.setFont(captionFont_);
    const QRect caption(6, 0, QFontMetrics(captionFont_).horizontalAdvance(shown) + 4, metrics.height());
    painter.fillRect(caption, palette().brush(QPalette::Window));
    style()->drawItemText(&painter, caption.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, palette(),
                          isEnabled(), shown, QPalette::WindowText);
  }

 private:
  QString caption_;
  QFont captionFont_;
};

// The user's own input: pointer, keys, touch, tablet, drag and drop, context
// menus and input methods. Painting, timers and the desktop's messages are not.
bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::NativeGesture:
    case QEvent::Gesture:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

// The file list box, worked as the platform's list box is. A click reports the
// file it lands on, also the chosen one again: a click that changes the choice
// reports it once, through the selection. The arrow keys choose the file they
// move to; with no file chosen yet they choose the one the caret is on, the first
// until the list has been used. Filling the list reports nothing. What is
// reported is the selected row, -1 with none: the keyboard focus alone chooses
// nothing.
class FileListBox : public QListWidget {
 public:
  FileListBox(QWidget* parent, std::function<void(int)> chosen)
      : QListWidget(parent), chosen_(std::move(chosen)) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::itemSelectionChanged, this, [this] {
      if (filling_) return;
      chosenByPress_ = pressing_;
      chosen_(SelectedRow());
    });
    connect(this, &QListWidget::itemClicked, this, [this](QListWidgetItem*) {
      if (!std::exchange(chosenByPress_, false)) chosen_(SelectedRow());
    });
  }

  void Fill(const QStringList& names) {
    filling_ = true;
    clear();
    addItems(names);
    setCurrentRow(-1);
    filling_ = false;
    chosenByPress_ = false;
  }

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    chosenByPress_ = false;
    pressing_ = true;
    QListWidget::mousePressEvent(event);
    pressing_ = false;
  }

  void keyPressEvent(QKeyEvent* event) override {
    int step = 0;
    if ((event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Left) step = -1;
      if (event->key() == Qt::Key_Down || event->key() == Qt::Key_Right) step = 1;
    }
    if (step == 0 || count() == 0) {
      QListWidget::keyPressEvent(event);
      return;
    }
    const int caret = std::max(currentRow(), 0);
    const bool chosen = !selectedItems().isEmpty();
    const int row = chosen ? std::clamp(caret + step, 0, count() - 1) : caret;
    if (!chosen || row != currentRow()) setCurrentRow(row);
    event->accept();
  }

 private:
  int SelectedRow() const {
    const QList<QListWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? -1 : row(selected.front());
  }

  std::function<void(int)> chosen_;
  bool filling_ = false;
  bool pressing_ = false;
  bool chosenByPress_ = false;  // the press of the click under way reported the choice
};

// Designed geometry: the window's client area fits its panel (the window sizes
// itself to its contents), so with a frame it measures 433 x 235 at 192, 128.
constexpr int kWindowLeft = 192;
constexpr int kWindowTop = 128;
constexpr QRect kPanel(0, 0, 425, 201);
constexpr QRect kLabel(16, 16, 369, 25);
constexpr QRect kCombo(16, 40, 385, 24);
constexpr QRect kFileList(16, 72, 385, 41);
constexpr QRect kGroup(16, 128, 385, 49);
constexpr QRect kProgress(8, 16, 305, 25);
constexpr QRect kButton(320, 16, 57, 25);

}  // namespace

// Sees every event of the application first and drops what the toolkit says.
class QtToolkit::InputGuard : public QObject {
 public:
  explicit InputGuard(const QtToolkit& ui) : ui_(ui) {}

 protected:
  bool eventFilter(QObject* object, QEvent* event) override { return ui_.DropsEvent(object, event); }

 private:
  const QtToolkit& ui_;
};

// One thread that runs the steps, one at a time. When a step has ended it wakes
// the window thread's event dispatcher, which is waiting for it.
class QtToolkit::Worker {
 public:
  explicit Worker(QAbstractEventDispatcher* dispatcher)
      : dispatcher_(dispatcher), thread_([this] { Loop(); }) {}
  ~Worker() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Start(void (*step)(void*), void* context) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      step_ = step;
      context_ = context;
      done_ = false;
      error_ = nullptr;
    }
    wake_.notify_one();
  }
  bool Done() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  // What the step threw, if anything; only once it is done.
  std::exception_ptr TakeError() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(error_, nullptr);
  }

 private:
  void Loop() {
    // The window's thread takes the signals held during work; the drive commands
    // run here, where no handler cuts them short.
    sigset_t before;
    BlockWorkSignals(before);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return quit_ || step_ != nullptr; });
      if (step_ == nullptr) return;
      void (*step)(void*) = std::exchange(step_, nullptr);
      void* context = context_;
      lock.unlock();
      std::exception_ptr error;
      try {
        step(context);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      error_ = error;
      done_ = true;
      // Under the lock: once the window thread sees the step done, the wake-up
      // has been sent, and a dispatcher keeps a wake-up it was not yet waiting for.
      if (dispatcher_ != nullptr) dispatcher_->wakeUp();
    }
  }

  QAbstractEventDispatcher* dispatcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  void (*step_)(void*) = nullptr;
  void* context_ = nullptr;
  bool done_ = false;
  bool quit_ = false;
  std::exception_ptr error_;
  std::thread thread_;  // last: starts when everything above is ready
};

QtToolkit::QtToolkit(int& argc, char** argv)
    : startedPath_(argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "") {
  if (QCoreApplication::instance() == nullptr) ownedApplication_ = std::make_unique<QApplication>(argc, argv);
  inputGuard_ = std::make_unique<InputGuard>(*this);
  QCoreApplication::instance()->installEventFilter(inputGuard_.get());
}

QtToolkit::~QtToolkit() {
  if (waitCursor_) QApplication::restoreOverrideCursor();
  worker_.reset();
  inputGuard_.reset();
  window_.reset();
}

template <class Handler>
void QtToolkit::Dispatch(Handler handler) {
  if (form_ == nullptr) return;
  try {
    handler(*form_);
  } catch (const std::exception& e) {
    // The handler is over: the hourglass it may have set goes with it.
    SetCursor(CursorShape::Default);
    ShowException(e.what());
  }
}

void QtToolkit::SetApplicationTitle(const std::string& title) {
  title_ = title;
  // The name stands in for an empty caption; it is never appended to one.
  QCoreApplication::setApplicationName(ToQt(title));
}

void QtToolkit::CreateMainWindow(TFlashForm& form) {
  form_ = &form;
  window_ = std::make_unique<QWidget>();
  QWidget* window = window_.get();
  window->setObjectName(QStringLiteral("FlashForm"));
  window->setWindowTitle(TitleText(caption_));

  window->setFont(WindowFont());
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  window->setPalette(palette);
  window->setAutoFillBackground(true);
  window->move(kWindowLeft, kWindowTop);
  window->setFixedSize(kPanel.size());

  panel_ = new QFrame(window);
  panel_->setObjectName(QStringLiteral("Panel1"));
  panel_->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panel_->setLineWidth(1);
  panel_->setGeometry(kPanel);

  label_ = new QLabel(panel_);
  label_->setObjectName(QStringLiteral("SelectDriveLabel"));
  label_->setTextFormat(Qt::PlainText);
  label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label_->setGeometry(kLabel);

  combo_ = new QComboBox(panel_);
  combo_->setObjectName(QStringLiteral("ComboBox"));
  combo_->setEditable(true);
  combo_->setInsertPolicy(QComboBox::NoInsert);  // typing never adds a line
  combo_->setCompleter(nullptr);                 // nor completes one behind the user's back
  combo_->setGeometry(kCombo);

  // A file is chosen by a click or by the keyboard.
  fileList_ =
      new FileListBox(panel_, [this](int row) { Dispatch([row](TFlashForm& f) { f.FileListChosen(row); }); });
  fileList_->setObjectName(QStringLiteral("FileListBox1"));
  fileList_->setGeometry(kFileList);

  auto* group = new CaptionedGroupBox(panel_);
  group->setObjectName(QStringLiteral("GroupBox2"));
  group->setGeometry(kGroup);
  group->SetCaptionFont(CaptionFont(window->font(), kGroup.width() - 16));
  group_ = group;

  progress_ = new QProgressBar(group_);
  progress_->setObjectName(QStringLiteral("ProgressBar"));
  progress_->setTextVisible(false);
  progress_->setGeometry(kProgress);
  ShowProgress();

  button_ = new QPushButton(QStringLiteral("FLASH"), group_);
  button_->setObjectName(QStringLiteral("FlashButton"));
  button_->setAutoDefault(true);  // Enter presses it when it has the focus, as Space does
  button_->setGeometry(kButton);

  // Only the user's actions reach the form: a line chosen from the list (also the
  // same line again), text typed into the edit field, a file chosen, the button.
  QObject::connect(combo_, &QComboBox::activated, window,
                   [this](int) { Dispatch([](TFlashForm& f) { f.ComboBoxChange(); }); });
  QObject::connect(combo_->lineEdit(), &QLineEdit::textEdited, window,
                   [this](const QString&) { UserEditedComboText(); });
  QObject::connect(button_, &QPushButton::clicked, window,
                   [this] { Dispatch([](TFlashForm& f) { f.FlashButtonClick(); }); });
}

void QtToolkit::ShowMainWindow() {
  if (window_ != nullptr && !windowClosed_) window_->show();
}

void QtToolkit::RunMessageLoop() {
  if (quitPosted_ || windowClosed_ || window_ == nullptr || window_->isHidden()) return;
  loopRunning_ = true;
  QApplication::exec();
  loopRunning_ = false;
}

void QtToolkit::CloseWindow() {
  windowClosed_ = true;
  if (window_ == nullptr) return;
  if (loopRunning_) {
    window_->close();  // the last window: the loop ends
  } else {
    window_->hide();  // still being created: it is only hidden
  }
}

void QtToolkit::PostQuit(int exitCode) {
  exitCode_ = exitCode;
  quitPosted_ = true;
  if (loopRunning_) QCoreApplication::exit(exitCode);
}

void QtToolkit::ShowException(const std::string& text) {
  AnswerBox box(QMessageBox::Critical, ToQt(title_), ToQt(text), QMessageBox::Ok, DialogParent());
  box.setTextFormat(Qt::PlainText);
  RunBox(box);
  RepaintAfterDialog();
}

void QtToolkit::SetWindowCaption(const std::string& caption) {
  caption_ = caption;
  if (window_ != nullptr) window_->setWindowTitle(TitleText(caption));
}

std::string QtToolkit::WindowCaption() const {
  return caption_;
}

void QtToolkit::SetLabelCaption(const std::string& caption) {
  label_->setText(ToQt(caption));
}

int QtToolkit::ComboCount() const {
  return combo_->count();
}

std::string QtToolkit::ComboLine(int index) const {
  if (index < 0 || index >= combo_->count()) throw std::out_of_range("ComboBox line index out of range");
  return FromQt(combo_->itemText(index));
}

void QtToolkit::ComboAdd(const std::string& line) {
  ComboInsert(combo_->count(), line);
}

void QtToolkit::ComboInsert(int index, const std::string& line) {
  if (index < 0 || index > combo_->count()) throw std::out_of_range("ComboBox insert index out of range");
  const int selected = combo_->currentIndex();
  const QString text = combo_->currentText();
  combo_->insertItem(index, ToQt(line));
  // Qt selects the first line put into an empty list; here nothing is selected
  // until the form or the user selects a line.
  if (selected < 0 && combo_->currentIndex() >= 0) {
    combo_->setCurrentIndex(-1);
    combo_->setEditText(text);
  }
}

void QtToolkit::ComboDelete(int index) {
  if (index < 0 || index >= combo_->count()) throw std::out_of_range("ComboBox delete index out of range");
  const bool wasSelected = index == combo_->currentIndex();
  const QString text = combo_->currentText();
  combo_->removeItem(index);
  // Deleting the selected line leaves no line selected (Qt would move on to a
  // neighbour); the edit field keeps its text.
  if (wasSelected) {
    combo_->setCurrentIndex(-1);
    combo_->setEditText(text);
  }
}

int QtToolkit::ComboIndex() const {
  return combo_->currentIndex();
}

void QtToolkit::ComboSelect(int index) {
  // Programmatic: "activated" is the user's signal only, so no handler runs.
  combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1);
}

void QtToolkit::ComboRedraw() {
  combo_->repaint();
}

void QtToolkit::UserEditedComboText() {
  // Typed text names no line: the change handler runs with no line selected.
  if (combo_->currentIndex() >= 0) {
    QLineEdit* edit = combo_->lineEdit();
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    combo_->setCurrentIndex(-1);  // also empties the edit field ...
    edit->setText(text);          // ... which keeps what the user typed
    edit->setCursorPosition(cursor);
  }
  Dispatch([](TFlashForm& f) { f.ComboBoxChange(); });
}

void QtToolkit::FileListShow(const std::string&, const std::vector<std::string>& names) {
  QStringList shown;
  for (const std::string& name : names) shown << ToQt(name);
  static_cast<FileListBox*>(fileList_)->Fill(shown);
}

void QtToolkit::FileListSetVisible(bool visible) {
  fileList_->setVisible(visible);
}

void QtToolkit::SetGroupCaption(const std::string& caption) {
  groupCaption_ = caption;
  static_cast<CaptionedGroupBox*>(group_)->SetCaption(ToQt(caption));
  group_->repaint();  // at once: the thread may be busy with a drive for a while
}

std::string QtToolkit::GroupCaption() const {
  return groupCaption_;
}

QString QtToolkit::ShownGroupCaption() const {
  return static_cast<const CaptionedGroupBox*>(group_)->ShownCaption();
}

QFont QtToolkit::GroupCaptionFont() const {
  return static_cast<const CaptionedGroupBox*>(group_)->CaptionFont();
}

// Like the platform's progress bar, the position always lies within the range,
// and stepping stops at the maximum.
void QtToolkit::SetProgressMin(int value) {
  progressMin_ = value;
  ShowProgress();
}

void QtToolkit::SetProgressMax(int value) {
  progressMax_ = value;
  ShowProgress();
}

void QtToolkit::SetProgressPosition(int value) {
  progressPosition_ = value;
  ShowProgress();
}

int QtToolkit::ProgressPosition() const {
  return progressPosition_;
}

void QtToolkit::SetProgressStep(int value) {
  progressStep_ = value;
}

void QtToolkit::ProgressStepIt() {
  const long long next = static_cast<long long>(progressPosition_) + progressStep_;
  progressPosition_ = static_cast<int>(std::clamp<long long>(next, progressMin_, progressMax_));
  ShowProgress();
}

void QtToolkit::ShowProgress() {
  const int low = progressMin_;
  const int high = std::max(progressMax_, low);
  progressPosition_ = std::clamp(progressPosition_, low, high);
  // An empty range shows an empty bar, never Qt's busy indicator.
  progress_->setRange(low, high > low ? high : low + 1);
  progress_->setValue(progressPosition_);
}

void QtToolkit::SetButtonCaption(const std::string& caption) {
  button_->setText(ToQt(caption));
}

void QtToolkit::SetButtonEnabled(bool enabled) {
  button_->setEnabled(enabled);
}

QWidget* QtToolkit::DialogParent() const {
  // Before the window is shown (start-up) the dialogs stand alone.
  return window_ != nullptr && window_->isVisible() ? window_.get() : nullptr;
}

DialogResult QtToolkit::MessageDialog(const std::string& text, DialogKind kind) {
  QMessageBox::Icon icon = QMessageBox::Critical;
  QString title = QStringLiteral("Error");
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  if (kind == DialogKind::Warning) {
    icon = QMessageBox::Warning;
    title = QStringLiteral("Warning");
    buttons = QMessageBox::Yes | QMessageBox::No;
  } else if (kind == DialogKind::Confirmation) {
    icon = QMessageBox::Question;
    title = QStringLiteral("Confirm");
    buttons = QMessageBox::Yes | QMessageBox::No;
  }
  // Input given before the box opened is not its answer.
  if (working_) DropPendingInput();
  AnswerBox box(icon, title, ToQt(text), buttons, DialogParent());
  box.setTextFormat(Qt::PlainText);
  if (kind != DialogKind::Error) box.setDefaultButton(QMessageBox::Yes);
  RunBox(box);
  RepaintAfterDialog();
  if (kind == DialogKind::Error) return DialogResult::Ok;
  if (box.ClosedWithoutAnswer()) return DialogResult::Closed;
  return box.clickedButton() == box.button(QMessageBox::Yes) ? DialogResult::Yes : DialogResult::No;
}

void QtToolkit::ShowMessage(const std::string& text) {
  if (working_) DropPendingInput();
  AnswerBox box(QMessageBox::NoIcon, ToQt(title_), ToQt(text), QMessageBox::Ok, DialogParent());
  box.setTextFormat(Qt::PlainText);
  RunBox(box);
  RepaintAfterDialog();
}

void QtToolkit::RepaintAfterDialog() {
  // A dialog answered inside a handler is often followed by long drive work with
  // no event processing: without this, its image would stay on the window and
  // look like a question still waiting for an answer.
  if (window_ != nullptr && window_->isVisible()) window_->repaint();
}

void QtToolkit::SetCursor(CursorShape shape) {
  // One state, not a stack: the hourglass twice and the default once is the default.
  if (shape == CursorShape::Hourglass && !waitCursor_) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    waitCursor_ = true;
  } else if (shape == CursorShape::Default && waitCursor_) {
    QApplication::restoreOverrideCursor();
    waitCursor_ = false;
  }
}

std::string QtToolkit::UpperCase(const std::string& text) const {
  return LocaleUpperCase(text);
}

std::string QtToolkit::CurrentDirectory() const {
  std::error_code error;
  const std::filesystem::path directory = std::filesystem::current_path(error);
  return error ? std::string() : directory.string();
}

std::string QtToolkit::ProgramFilePath() const {
  // The file the program really runs from, whatever path or link started it.
  std::string problem;
  return ProgramOwnFile(startedPath_, problem);
}

std::string QtToolkit::ProgramStartedPath() const {
  return startedPath_;
}

void QtToolkit::Sleep(unsigned milliseconds) {
  // On the worker, so the window waits for it the way it waits for a drive.
  RunBlocking(
      [](void* context) {
        std::this_thread::sleep_for(std::chrono::milliseconds(*static_cast<const unsigned*>(context)));
      },
      &milliseconds);
}

void QtToolkit::BeginWork() {
  working_ = true;
  // The template shows its file list; a flash program never does.
  HoldWorkSignals(fileList_ != nullptr && !fileList_->isHidden() ? HeldWork::Build : HeldWork::Update);
}

void QtToolkit::EndWork() {
  // What the user did meanwhile and is still on its way is dropped too: nothing
  // happens afterwards that was not asked for once the window was ready again.
  DropPendingInput();
  working_ = false;
  ReleaseWorkSignals();  // a held signal ends the program here
}

void QtToolkit::RunBlocking(void (*step)(void*), void* context) {
  // The wait below runs nothing that calls back into the form, so a second step
  // can only come from a caller that broke that rule.
  if (stepRunning_) throw std::logic_error("a blocking step started while another was running");
  if (worker_ == nullptr) worker_ = std::make_unique<Worker>(QAbstractEventDispatcher::instance());
  stepRunning_ = true;
  worker_->Start(step, context);
  while (!worker_->Done())
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  stepRunning_ = false;
  if (closeDeferred_ && !working_ && window_ != nullptr) {
    // Outside an update or a build a close waits only for the command in flight.
    closeDeferred_ = false;
    QMetaObject::invokeMethod(window_.get(), &QWidget::close, Qt::QueuedConnection);
  }
  if (const std::exception_ptr error = worker_->TakeError()) std::rethrow_exception(error);
}

void QtToolkit::DropPendingInput() {
  const bool wasWorking = std::exchange(working_, true);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  working_ = wasWorking;
}

bool QtToolkit::DropsEvent(QObject* object, QEvent* event) const {
  if (!working_ && !stepRunning_) return false;
  const bool close = event->type() == QEvent::Close;
  if (!close && !IsUserInput(event->type())) return false;
  // The window, its controls and their pop-ups, reached through the widgets or
  // through the platform windows that carry them; dialogs stay answerable.
  QWidget* widget = qobject_cast<QWidget*>(object);
  if (widget == nullptr) {
    const auto* handle = qobject_cast<QWindow*>(object);
    if (handle == nullptr) return false;
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->windowHandle() == handle) widget = top;
    }
  }
  bool ours = false;
  for (const QWidget* w = widget; w != nullptr && !ours; w = w->parentWidget()) {
    if (qobject_cast<const QDialog*>(w) != nullptr) return false;
    ours = w == window_.get();
  }
  if (!ours) return false;
  event->ignore();  // a close request stays refused
  if (close && !working_ && widget == window_.get()) closeDeferred_ = true;
  return true;
}
