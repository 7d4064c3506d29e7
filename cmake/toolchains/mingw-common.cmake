# What both mingw-w64 builds share. The -posix compilers give std::thread and
# std::mutex (GoogleTest uses them); -static links libgcc, libstdc++ and
# winpthreads into the program, so it needs no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
if(FLASHUTIL_MINGW_TRIPLET MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()

set(CMAKE_C_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${FLASHUTIL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FLASHUTIL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
