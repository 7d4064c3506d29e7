// Helpers for the tests of the Qt window: one QApplication for the whole test
// program (Qt's offscreen platform), and answering the next message box the way
// a user would, from inside its modal loop.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

// Under LeakSanitizer: fontconfig, which Qt loads its fonts through, keeps a
// cache it never frees. Those blocks are not the program's.
extern "C" const char* __lsan_default_suppressions();
extern "C" __attribute__((used)) inline const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

inline QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "flashutil_qt_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* application = new QApplication(argc, argv);  // lives to the end
  return *application;
}

// What a message box showed.
struct SeenBox {
  bool Shown = false;
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  Qt::TextFormat Format = Qt::AutoText;
  QStringList Buttons;  // button texts, in the box's order
};

inline QMessageBox* VisibleMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

// Waits for the next message box, records it and acts on it (presses a button,
// closes it, ...).
inline void AnswerNextBox(std::function<void(QMessageBox&)> act, std::shared_ptr<SeenBox> seen) {
  QTimer::singleShot(5, [act, seen] {
    QMessageBox* box = VisibleMessageBox();
    if (box == nullptr) {
      AnswerNextBox(act, seen);
      return;
    }
    seen->Shown = true;
    seen->Title = box->windowTitle();
    seen->Text = box->text();
    seen->Icon = box->icon();
    seen->Format = box->textFormat();
    for (QAbstractButton* button : box->buttons()) seen->Buttons << button->text();
    act(*box);
  });
}

inline std::function<void(QMessageBox&)> Press(QMessageBox::StandardButton which) {
  return [which](QMessageBox& box) { box.button(which)->click(); };
}

inline std::function<void(QMessageBox&)> CloseBox() {
  return [](QMessageBox& box) { box.close(); };
}
