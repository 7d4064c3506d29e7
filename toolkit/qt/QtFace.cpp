#include "toolkit/qt/QtFace.h"

#include <memory>

#include "toolkit/qt/QtDisplay.h"
#include "toolkit/qt/QtToolkit.h"

extern "C" __attribute__((visibility("default"))) int flashutil_qt_run(
    char* argv0, const std::function<int(Toolkit&)>* run, int* exitCode, std::string* why) {
  std::unique_ptr<QtToolkit> window = OpenQtToolkit(argv0, *why);
  if (!window) return 0;
  *exitCode = (*run)(*window);
  return 1;
}
