// Loading the Qt face that the program file carries (toolkit/qt/QtFace.h).
#pragma once

#include <cstddef>
#include <string>

#include "toolkit/qt/QtFace.h"

// Whether a window may open: DISPLAY or WAYLAND_DISPLAY is set, or QT_QPA_PLATFORM
// names a platform that shows a window (not offscreen or minimal). Only then is
// the Qt face loaded at all.
bool WindowMayOpen();

// Loads the shared object given as bytes from a memory file and finds its entry;
// null with the reason in error when it cannot be loaded (no Qt 6 Widgets, an
// older one, no /proc). The object stays loaded for the life of the process.
FlashutilQtRun* LoadQtFace(const unsigned char* object, std::size_t size, std::string& error);
