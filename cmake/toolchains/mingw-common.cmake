# What both mingw-w64 builds share. The -win32 compilers' C++ runtime uses the
# system's own threads and no POSIX thread library: it keeps the programs off the
# calls that only newer Windows exports (the -posix runtime and its winpthreads
# need Windows Vista's), so the 32-bit program loads on Windows 98 SE to 11. It
# has no std::thread or std::mutex; the code uses the Win32 calls instead.
# -static links libgcc and libstdc++ into the program, so it needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
if(FLASHUTIL_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(CMAKE_C_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FLASHUTIL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
