# Cross build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686).
# 32-bit Windows programs cannot run on these machines: this build is built, not run.
set(FLASHUTIL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
