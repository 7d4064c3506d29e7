// The Qt window: its controls where the design puts them, state that round-trips
// through the Toolkit interface, the user's events reaching the form (and the
// form's own changes not), the dialogs, the start-up that ends on No, and an
// update on a slow drive that the user cannot disturb.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "device/Cddrive.h"
#include "tests/Support.h"
#include "tests/UpdateRig.h"
#include "tests/qt/QtSupport.h"
#include "toolkit/qt/QtToolkit.h"

namespace {

namespace fs = std::filesystem;

struct QtWindow : ::testing::Test {
  QApplication& application = TestApplication();  // before the toolkit, which would make its own
  int argc = 1;
  char name[16] = "./flash";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<FlashPackage> package = MakeTemplatePackage();
  QtToolkit ui{argc, argv};
  TFlashForm form{ui, *package, {}};
  fs::path startDirectory = fs::current_path();
  fs::path directory;

  void SetUp() override { ui.CreateMainWindow(form); }
  void TearDown() override {
    fs::current_path(startDirectory);  // the file list changes into its directory
    if (!directory.empty()) fs::remove_all(directory);
  }

  template <class Widget>
  Widget* Control(const char* objectName) {
    return ui.Window()->findChild<Widget*>(QString::fromLatin1(objectName));
  }
  QComboBox* Combo() { return Control<QComboBox>("ComboBox"); }
  QListWidget* Files() { return Control<QListWidget>("FileListBox1"); }
  QPushButton* Button() { return Control<QPushButton>("FlashButton"); }

  void MakeDirectory(std::initializer_list<const char*> files) {
    directory = fs::temp_directory_path() / ("flash-qt-" + std::to_string(getpid()));
    fs::create_directories(directory / "SUB.BIN");  // a directory is never listed
    for (const char* file : files) std::ofstream(directory / file) << "x";
  }
  // A template window after its builder start-up: two models, the first chosen.
  void BuilderReady() {
    MakeDirectory({"A.BIN", "B.BIN", "b.bin", "C.HEX"});
    form.TemplateMode = true;
    form.BinMaskList = std::make_unique<std::vector<std::string>>(std::vector<std::string>{"*.BIN", "*.HEX"});
    form.FwRangeList =
        std::make_unique<std::vector<std::string>>(std::vector<std::string>{"1000-1FFF", "-AAA--BBB"});
    form.FileListBox1.SetDirectory(directory.string());
    ui.ComboAdd("CRW-5224A");
    ui.ComboAdd("DVD-16");
    ui.ComboSelect(0);
    form.ComboBoxChange();
    ui.ShowMainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.Window()));
  }
  QStringList ListedFiles() {
    QStringList names;
    for (int i = 0; i < Files()->count(); ++i) names << Files()->item(i)->text();
    return names;
  }
  void ClickFile(int row) {
    QListWidget* list = Files();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
  }
};

struct Place {
  const char* name;
  const char* kind;
  const char* parent;
  QRect geometry;
};

const Place kPlaces[] = {
    {"Panel1", "QFrame", "FlashForm", {0, 0, 425, 201}},
    {"SelectDriveLabel", "QLabel", "Panel1", {16, 16, 369, 25}},
    {"ComboBox", "QComboBox", "Panel1", {16, 40, 385, 24}},
    {"FileListBox1", "QListWidget", "Panel1", {16, 72, 385, 41}},
    {"GroupBox2", "QGroupBox", "Panel1", {16, 128, 385, 49}},
    {"ProgressBar", "QProgressBar", "GroupBox2", {8, 16, 305, 25}},
    {"FlashButton", "QPushButton", "GroupBox2", {320, 16, 57, 25}},
};

TEST_F(QtWindow, ControlsStandWhereTheDesignPutsThem) {
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(place.name);
    auto* widget = Control<QWidget>(place.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), place.kind);
    EXPECT_EQ(widget->parentWidget()->objectName(), QString::fromLatin1(place.parent));
    EXPECT_EQ(widget->geometry(), place.geometry);
  }
  QWidget* window = ui.Window();
  EXPECT_EQ(window->pos(), QPoint(192, 128));
  EXPECT_EQ(window->minimumSize(), QSize(425, 201));  // fits the panel and stays so
  EXPECT_EQ(window->maximumSize(), QSize(425, 201));
  EXPECT_TRUE(window->font().bold());
  const int lineHeight = QFontMetrics(window->font()).height();  // the caption fits above the controls
  EXPECT_LE(lineHeight, 16);
  EXPECT_GE(lineHeight, 14);
  EXPECT_TRUE(Combo()->isEditable());
  EXPECT_EQ(Button()->text(), "FLASH");
  auto* bar = Control<QProgressBar>("ProgressBar");
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 0);
}

TEST_F(QtWindow, StateRoundTripsThroughTheToolkit) {
  const std::string caption = "\xE9QVXR Flash [*] 1000-1FFF [Buiding]";  // 8-bit, and Qt's title marker
  ui.SetWindowCaption(caption);
  EXPECT_EQ(ui.WindowCaption(), caption);
  ui.ShowMainWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.Window()));
  EXPECT_EQ(ui.Window()->windowHandle()->title().toLatin1().toStdString(), caption);

  ui.SetGroupCaption("Building a&b.bin  Please wait... ");
  EXPECT_EQ(ui.GroupCaption(), "Building a&b.bin  Please wait... ");
  EXPECT_EQ(Control<QGroupBox>("GroupBox2")->title(), "Building a&&b.bin  Please wait... ");  // "&" shown
  ui.SetLabelCaption("Select the QVXR drive you want to update:");
  EXPECT_EQ(Control<QLabel>("SelectDriveLabel")->text(), "Select the QVXR drive you want to update:");

  // Lines: nothing selected until selected; the refresh of a drive's line after
  // an update (insert at n, delete the old line after it, select n again).
  ui.ComboAdd("0-0-0 D: QVXR    CRW-5224A       1000");
  ui.ComboAdd(
      "0-1-0 E: QVXR    CRW-5224A       1\xF0"
      "00");
  EXPECT_EQ(ui.ComboIndex(), -1);
  EXPECT_EQ(ui.ComboLine(1),
            "0-1-0 E: QVXR    CRW-5224A       1\xF0"
            "00");
  ui.ComboSelect(1);
  ui.ComboInsert(1, "0-1-0 E: QVXR    CRW-5224A       2000");
  ui.ComboDelete(2);
  EXPECT_EQ(ui.ComboIndex(), -1);  // the selected line is gone
  ui.ComboSelect(1);
  ui.ComboRedraw();
  EXPECT_EQ(ui.ComboCount(), 2);
  EXPECT_EQ(ui.ComboIndex(), 1);
  EXPECT_EQ(Combo()->currentText(), "0-1-0 E: QVXR    CRW-5224A       2000");
  ui.ComboSelect(7);
  EXPECT_EQ(ui.ComboIndex(), -1);
  EXPECT_THROW(ui.ComboLine(2), std::out_of_range);
  EXPECT_THROW(ui.ComboDelete(-1), std::out_of_range);

  // The progress position stays within the range, as the bar shows it; an empty
  // range is an empty bar, not a busy indicator.
  auto* bar = Control<QProgressBar>("ProgressBar");
  ui.SetProgressMin(0);
  ui.SetProgressMax(40000);
  ui.SetProgressStep(16384);
  ui.SetProgressPosition(0);
  ui.ProgressStepIt();
  ui.ProgressStepIt();
  EXPECT_EQ(ui.ProgressPosition(), 32768);
  EXPECT_EQ(bar->value(), 32768);
  ui.ProgressStepIt();
  EXPECT_EQ(ui.ProgressPosition(), 40000);
  ui.SetProgressPosition(49152);
  EXPECT_EQ(bar->value(), 40000);
  ui.SetProgressMax(200);
  EXPECT_EQ(ui.ProgressPosition(), 200);
  ui.SetProgressPosition(198);
  EXPECT_EQ(bar->value(), 198);
  ui.SetProgressMax(0);
  EXPECT_EQ(ui.ProgressPosition(), 0);
  EXPECT_GT(bar->maximum(), bar->minimum());

  ui.SetButtonCaption("Build");
  ui.SetButtonEnabled(false);
  EXPECT_EQ(Button()->text(), "Build");
  EXPECT_FALSE(Button()->isEnabled());
  ui.FileListSetVisible(false);
  EXPECT_TRUE(Files()->isHidden());
}

TEST_F(QtWindow, StatusLinesFitTheGroupBoxOrKeepTheirOutcome) {
  ui.ShowMainWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.Window()));
  const QFont font = ui.GroupCaptionFont();
  EXPECT_GE(QFontInfo(font).pixelSize(), 11);  // still readable
  EXPECT_GE(font.stretch() == QFont::AnyStretch ? 100 : font.stretch(), 75);
  const QFontMetrics metrics(font);
  const int room = 385 - 16;  // within the frame, 8 pixels from each end
  const char* const whole[] = {
      "Read back and Verify drive's DRAM... , Valid Profile Fail!",
      "Read back and Verify drive's DRAM... , Read Fail! ",
      "Don't turn off the system, Flash is in progress...",
      "Write profile to drive's DRAM... , Fail! ",
      "Building 1A2B3C4D.BIN  Please wait... ",
  };
  for (const char* caption : whole) {
    SCOPED_TRACE(caption);
    ui.SetGroupCaption(caption);
    EXPECT_EQ(ui.ShownGroupCaption(), QString::fromLatin1(caption));
    EXPECT_LE(metrics.horizontalAdvance(QString::fromLatin1(caption)), room);
  }
  // Too long for any readable font: its middle goes, the outcome stays.
  ui.SetGroupCaption("Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ");
  const QString shown = ui.ShownGroupCaption();
  EXPECT_TRUE(shown.startsWith("Read back")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("DRAM Fail! ")) << shown.toStdString();
  EXPECT_LE(metrics.horizontalAdvance(shown), room);
}

TEST_F(QtWindow, FileListShowsTheDirectoryByMaskAndMakesItCurrent) {
  MakeDirectory({"A.BIN", "b.bin", "C.HEX", "Z.BIN"});
  form.FileListBox1.SetDirectory(directory.string());
  EXPECT_EQ(ListedFiles(), QStringList({"A.BIN", "C.HEX", "Z.BIN", "b.bin"}));  // "*.*": every plain file
  EXPECT_EQ(fs::current_path(), directory);
  form.FileListBox1.SetMask("*.BIN");
  form.FileListBox1.Update();
  EXPECT_EQ(ListedFiles(), QStringList({"A.BIN", "Z.BIN"}));
  EXPECT_EQ(form.FileListBox1.CurrentFile(), "");
  Files()->setCurrentRow(1);  // a choice, as the keyboard makes it
  EXPECT_EQ(form.FileListBox1.CurrentFile(), (directory / "Z.BIN").string());
  form.FileListBox1.Update();
  EXPECT_EQ(form.FileListBox1.CurrentFile(), "");  // re-reading leaves no file chosen
}

TEST_F(QtWindow, UserEventsReachTheFormAndProgrammaticChangesDoNot) {
  BuilderReady();
  const std::string firstCaption = " Flash Utility V1.050 1000-1FFF [Buiding]";
  EXPECT_EQ(ui.WindowCaption(), firstCaption);
  EXPECT_EQ(ListedFiles(), QStringList({"A.BIN", "B.BIN"}));

  ui.ComboSelect(1);  // the form's own selection runs no handler
  EXPECT_EQ(ui.WindowCaption(), firstCaption);
  ui.ComboSelect(0);

  // A file clicked, the same file clicked again, another chosen by keyboard.
  ClickFile(1);
  EXPECT_EQ(form.FirmwareFileName, "B.BIN");
  EXPECT_TRUE(Button()->isEnabled());
  ui.SetButtonEnabled(false);
  ClickFile(1);
  EXPECT_TRUE(Button()->isEnabled());
  Files()->setFocus();
  QTest::keyClick(Files(), Qt::Key_Up);
  EXPECT_EQ(form.FirmwareFileName, "A.BIN");

  // Typing in the edit field: the handler runs with no line selected, and the
  // typed text stays.
  Combo()->setFocus();
  QTest::keyClicks(Combo(), "X");
  EXPECT_EQ(ui.ComboIndex(), -1);
  EXPECT_EQ(Combo()->lineEdit()->text(), "CRW-5224AX");
  EXPECT_FALSE(Button()->isEnabled());

  // The user picks the second model.
  ui.ComboSelect(0);
  QTest::keyClick(Combo(), Qt::Key_Down);
  EXPECT_EQ(ui.ComboIndex(), 1);
  EXPECT_EQ(ui.WindowCaption(), " Flash Utility V1.050 -AAA--BBB [Buiding]");
  EXPECT_EQ(ListedFiles(), QStringList({"C.HEX"}));
  EXPECT_EQ(form.FileListBox1.CurrentFile(), "");
}

TEST_F(QtWindow, ArrowKeysChooseTheFileTheyMoveToFromTheFirstOn) {
  BuilderReady();
  Files()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Files(), Qt::Key_Down);  // nothing chosen yet: the first file
  EXPECT_EQ(form.FirmwareFileName, "A.BIN");
  EXPECT_TRUE(Button()->isEnabled());
  QTest::keyClick(Files(), Qt::Key_Right);
  EXPECT_EQ(form.FirmwareFileName, "B.BIN");
  QTest::keyClick(Files(), Qt::Key_Up);
  EXPECT_EQ(form.FirmwareFileName, "A.BIN");
  ui.SetButtonEnabled(false);
  ClickFile(0);  // a click on the file the keys chose reports it again
  EXPECT_TRUE(Button()->isEnabled());

  // A model with one file: Down chooses it.
  Combo()->setFocus();
  QTest::keyClick(Combo(), Qt::Key_Down);
  ASSERT_EQ(ListedFiles(), QStringList({"C.HEX"}));
  EXPECT_FALSE(Button()->isEnabled());
  Files()->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Files(), Qt::Key_Down);
  EXPECT_EQ(form.FirmwareFileName, "C.HEX");
  EXPECT_TRUE(Button()->isEnabled());
}

struct DialogCase {
  DialogKind kind;
  const char* title;
  QMessageBox::Icon icon;
  QStringList buttons;
  std::function<void(QMessageBox&)> act;
  DialogResult expected;
};

TEST_F(QtWindow, DialogsShowTheirKindAndReturnTheAnswer) {
  const QStringList yesNo = {"&Yes", "&No"};
  const DialogCase cases[] = {
      {DialogKind::Warning, "Warning", QMessageBox::Warning, yesNo, Press(QMessageBox::Yes),
       DialogResult::Yes},
      {DialogKind::Warning, "Warning", QMessageBox::Warning, yesNo, Press(QMessageBox::No), DialogResult::No},
      {DialogKind::Warning, "Warning", QMessageBox::Warning, yesNo, CloseBox(), DialogResult::Closed},
      {DialogKind::Confirmation, "Confirm", QMessageBox::Question, yesNo,
       [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); }, DialogResult::No},
      {DialogKind::Confirmation, "Confirm", QMessageBox::Question, yesNo,
       [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); }, DialogResult::Yes},
      {DialogKind::Error, "Error", QMessageBox::Critical, {"OK"}, CloseBox(), DialogResult::Ok},
  };
  const std::string text = "\nUpdate Firmware 1000 to <b>2000</b> ?\n";
  for (const DialogCase& c : cases) {
    SCOPED_TRACE(c.title);
    auto seen = std::make_shared<SeenBox>();
    AnswerNextBox(c.act, seen);
    EXPECT_EQ(ui.MessageDialog(text, c.kind), c.expected);
    EXPECT_EQ(seen->Title, QString::fromLatin1(c.title));
    EXPECT_EQ(seen->Icon, c.icon);
    EXPECT_EQ(seen->Text.toStdString(), text);
    EXPECT_EQ(seen->Format, Qt::PlainText);
    QStringList buttons = seen->Buttons;
    buttons.sort();
    QStringList expected = c.buttons;
    expected.sort();
    EXPECT_EQ(buttons, expected);
  }

  ui.SetApplicationTitle("Windows Flash utility");
  auto seen = std::make_shared<SeenBox>();
  AnswerNextBox(Press(QMessageBox::Ok), seen);
  ui.ShowMessage("Compare BIN and DRAM fail!");
  EXPECT_EQ(seen->Title, "Windows Flash utility");
  EXPECT_EQ(seen->Icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen->Text, "Compare BIN and DRAM fail!");
}

TEST_F(QtWindow, QuitRequestsEndTheLoopBeforeAndWhileItRuns) {
  ui.ShowMainWindow();
  QTimer::singleShot(0, [this] { ui.PostQuit(3); });
  ui.RunMessageLoop();  // returns on the request
  EXPECT_EQ(ui.ExitCode(), 3);

  ui.PostQuit(0);
  ui.RunMessageLoop();  // posted before the loop: returns at once
  EXPECT_EQ(ui.ExitCode(), 0);
}

// Outside an update a close waits for the command in flight, then closes; during
// one it stays refused.
TEST_F(QtWindow, ACloseDuringACommandWaitsForItOnlyOutsideWork) {
  ui.ShowMainWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(ui.Window()));
  auto slow = [](void*) { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
  for (const bool working : {true, false}) {
    SCOPED_TRACE(working ? "during work" : "outside work");
    if (working) ui.BeginWork();
    QTimer::singleShot(50, [this] { ui.Window()->close(); });
    ui.RunBlocking(slow, nullptr);
    EXPECT_TRUE(ui.Window()->isVisible()) << "closed while the command ran";
    if (working) ui.EndWork();
    QCoreApplication::processEvents();
    EXPECT_EQ(ui.Window()->isVisible(), working);
  }
}

TEST(QtStartUp, FlasherDeclinedEndsOnNoWithoutShowingTheWindow) {
  TestApplication();
  for (auto act : {Press(QMessageBox::No), CloseBox()}) {
    int argc = 1;
    char name[] = "flash";
    char* argv[] = {name, nullptr};
    QtToolkit ui(argc, argv);
    auto package = MakeFlasherPackage({"Crw-5224a", "QVXR    CRW-5224A", "1000", "qvxr", "", "2000."});
    auto seen = std::make_shared<SeenBox>();
    AnswerNextBox(act, seen);
    EXPECT_EQ(RunApplication(ui, *package, {}), 0);
    EXPECT_EQ(ui.ExitCode(), 0);
    EXPECT_EQ(seen->Title, "Warning");
    EXPECT_EQ(seen->Text.toStdString(),
              "\nWARNING:\n\nThis flash utility only supports QVXR Crw-5224a drive with firmware:     1000"
              "\nPlease REMOVE disc and close all applications before run this utility! "
              "\nDon't turn off the system while the flash is in progress!\n\nDo you wish to continue?\n");
    EXPECT_EQ(ui.WindowCaption(), " Flash Utility V1.050 ");
    EXPECT_TRUE(ui.Window()->isHidden());
    EXPECT_EQ(VisibleMessageBox(), nullptr);
  }
}

// Counts the paint events of the widget it watches.
struct PaintCounter : QObject {
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

// The program on a simulated drive whose image writes and commit are slow, the
// update started by keyboard. While the drive works the test clicks FLASH,
// presses its keys and closes the window.
TEST(QtWork, ASlowUpdateKeepsTheWindowAliveAndDropsInputAndTheClose) {
  TestApplication();
  SimulatedTransport sim;
  SimDriveConfig config;
  config.Faults = {{.What = SimFault::Kind::Delay, .Opcode = 0x3B, .Control = 0x00, .Milliseconds = 150},
                   {.What = SimFault::Kind::Delay, .Opcode = 0x3B, .Control = 0x80, .Milliseconds = 600}};
  SimulatedDrive& drive = sim.Add(config);
  Cddrive::InstallTransport(&sim);
  struct Uninstall {
    ~Uninstall() { Cddrive::InstallTransport(nullptr); }
  } uninstall;
  Cddrive::ResetUnit();
  auto package = SchemePackage(4 * TFlashForm::kTransferSize, Scheme::None);
  int argc = 1;
  char name[] = "flash";
  char* argv[] = {name, nullptr};
  QtToolkit ui(argc, argv);

  // Yes to the warning and the first confirmation, No to anything after.
  QStringList boxes;
  QTimer answerer;
  QObject::connect(&answerer, &QTimer::timeout, [&] {
    if (QMessageBox* box = VisibleMessageBox()) {
      boxes << box->windowTitle();
      box->button(boxes.size() <= 2 ? QMessageBox::Yes : QMessageBox::No)->click();
    }
  });
  answerer.start(5);

  const std::string writing = "Write BIN to drive's DRAM... ";
  const std::string committing = "Don't turn off the system, Flash is in progress...";
  PaintCounter groupPaints;
  std::set<std::string> poked;  // the captions under which the test clicked, pressed and closed
  bool closeRefused = true, finishing = false;
  int paintsAsked = -1, paintsSeen = -1;
  QTimer probe;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    QWidget* window = ui.Window();
    if (window == nullptr || !window->isVisible()) return;
    auto* button = window->findChild<QPushButton*>("FlashButton");
    const std::string caption = ui.GroupCaption();
    if (poked.empty()) {
      poked.insert("");
      window->findChild<QWidget*>("GroupBox2")->installEventFilter(&groupPaints);
      // Enter on the focused button starts the update; not from here, as a
      // timer does not fire again while it runs.
      button->setFocus();
      QTimer::singleShot(0, [button] { QTest::keyClick(button, Qt::Key_Return); });
    } else if ((caption == writing || caption == committing) && poked.insert(caption).second) {
      QTest::mouseClick(button, Qt::LeftButton);
      QTest::keyClick(button, Qt::Key_Return);
      QTest::keyClick(button, Qt::Key_Space);
      closeRefused = closeRefused && !window->close() && window->isVisible();
      paintsAsked = groupPaints.Paints;
      window->update();  // as when the desktop uncovers it
    } else if (caption == committing && paintsSeen < 0) {
      paintsSeen = groupPaints.Paints;
    } else if (caption == "Flash Completed." && !finishing) {
      finishing = true;
      QTimer::singleShot(300, [&] { ui.PostQuit(0); });
    }
  });
  probe.start(10);
  QTimer::singleShot(20000, [&] { ui.PostQuit(0); });  // however it goes

  EXPECT_EQ(RunApplication(ui, *package, {}), 0);
  EXPECT_TRUE(finishing);
  // The window took the test's events and painted while the drive wrote and
  // committed; nothing the user did had an effect, then or afterwards.
  EXPECT_TRUE(poked.count(writing));
  EXPECT_TRUE(poked.count(committing));
  EXPECT_GT(paintsSeen, paintsAsked) << "no repaint while the commit ran";
  EXPECT_TRUE(closeRefused);
  EXPECT_EQ(boxes.join(", ").toStdString(), "Warning, Confirm");
  EXPECT_EQ(drive.Commits(), 1);
  EXPECT_TRUE(ui.Window()->isVisible());
}

TEST(QtToolkitText, UpperCaseChangesAsciiLettersAndKeepsEveryByteCount) {
  TestApplication();
  int argc = 1;
  char name[] = "flash";
  char* argv[] = {name, nullptr};
  QtToolkit ui(argc, argv);
  EXPECT_EQ(ui.UpperCase("qvxr crw-5224a_1.0f"), "QVXR CRW-5224A_1.0F");
  EXPECT_EQ(ui.UpperCase(std::string("a\0b", 3)), std::string("A\0B", 3));
  // In a multi-byte locale the bytes of other characters stay as they are.
  const std::string previous = setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  EXPECT_EQ(ui.UpperCase("caf\xC3\xA9 \xE9"), "CAF\xC3\xA9 \xE9");
  setlocale(LC_CTYPE, previous.c_str());
  EXPECT_EQ(ui.ProgramStartedPath(), "flash");
}

}  // namespace
