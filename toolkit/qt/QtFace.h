// The Qt face as a shared object of its own (flashutil-qt.so). The Linux program
// carries it inside its file and loads it at start (platform/linux/QtFaceLoader),
// so the program itself needs no Qt: where Qt 6 Widgets cannot be loaded it runs
// on the terminal face. The object holds the Qt toolkit and this entry only; the
// core it drives (TFlashForm, the drive units, the platform's helpers) is the
// program's own, exported by the program file, so there is one copy of its state.
#pragma once

#include <functional>
#include <string>

class Toolkit;

// The one symbol the program looks up.
#define FLASHUTIL_QT_FACE_ENTRY "flashutil_qt_run"

extern "C" {
// Runs run on the Qt window when a display can be opened: 1 with run's result in
// *exitCode. 0 when no display can be opened (nothing of Qt was started), with the
// reason in *why; the program then uses the terminal face. argv0 must outlive the
// call.
using FlashutilQtRun = int(char* argv0, const std::function<int(Toolkit&)>* run, int* exitCode,
                           std::string* why);
FlashutilQtRun flashutil_qt_run;
}
