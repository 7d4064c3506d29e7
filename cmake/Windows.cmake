# Windows: pass-through and ASPI transports, the INI reader of the platform, the
# native Win32 window. Built with mingw-w64 (cmake/toolchains).
add_library(flashplatform STATIC
  platform/windows/Aspi.cpp platform/windows/DriveMutex.cpp platform/windows/IniReader.cpp
  platform/windows/PassThrough.cpp platform/windows/SystemGuard.cpp platform/windows/WinSystem.cpp
  platform/windows/WindowsTransport.cpp)
flashutil_layer_root(flashplatform PUBLIC platform platform/windows)
target_compile_definitions(flashplatform PUBLIC NOMINMAX)
# The headers declare only what the oldest Windows the programs serve exports
# (Windows 98 and NT 4, common controls of Internet Explorer 5), so a newer call
# cannot be used by mistake; newer calls are looked up with GetProcAddress.
set(FLASHUTIL_WINDOWS_FLOOR WINVER=0x0400 _WIN32_WINNT=0x0400 _WIN32_WINDOWS=0x0410 _WIN32_IE=0x0500)
target_compile_definitions(flashplatform PUBLIC ${FLASHUTIL_WINDOWS_FLOOR})
foreach(layer flashcommon flashdevice flashcore)
  target_compile_definitions(${layer} PRIVATE ${FLASHUTIL_WINDOWS_FLOOR})
endforeach()
target_link_libraries(flashplatform PUBLIC flashcore PRIVATE flash_warnings)

add_library(flashwin32 STATIC toolkit/win32/Win32Toolkit.cpp)
flashutil_layer_root(flashwin32 PUBLIC win32 toolkit/win32)
target_link_libraries(flashwin32 PUBLIC flashplatform flashcore comctl32 gdi32 user32 PRIVATE flash_warnings)

# The programs' resources (manifest, icon, version information), compiled by
# mingw-w64's windres. The version 1.050 is 1,50,0,0 in the numeric fields.
enable_language(RC)
set(FLASHUTIL_RESOURCES ${PROJECT_SOURCE_DIR}/platform/windows/resources)
math(EXPR FLASHUTIL_VERSION_MINOR_NUMBER "${PROJECT_VERSION_MINOR}")
set(FLASHUTIL_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${FLASHUTIL_VERSION_MINOR_NUMBER},0,0")

# Gives a program the resources, under its own name. The window's tests and
# screenshots carry them too: they then scale as the program does.
function(flashutil_resources target)
  set(FLASHUTIL_PROGRAM_NAME ${target})
  set(resources ${PROJECT_BINARY_DIR}/resources/${target}.rc)
  configure_file(${FLASHUTIL_RESOURCES}/flashutil.rc.in ${resources} @ONLY)
  target_sources(${target} PRIVATE ${resources})
  set_property(SOURCE ${resources} APPEND PROPERTY OBJECT_DEPENDS
    ${FLASHUTIL_RESOURCES}/flashutil.manifest ${FLASHUTIL_RESOURCES}/flashutil.ico)
endfunction()

# What the runtime asks of Windows 98 SE and ME that they lack (see the file),
# linked into every 32-bit program: the shipped ones and the tests, so the tests
# run on the same answers as the programs.
function(flashutil_old_windows_runtime target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/windows/runtime/OldWindows.cpp)
  endif()
endfunction()

# The program (a GUI program: no console), and the same program on simulated
# drives. Both are linked statically and need no DLL beside them.
function(flashutil_program name)
  add_executable(${name} WIN32 platform/windows/main.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  flashutil_resources(${name})
  flashutil_old_windows_runtime(${name})
  target_link_libraries(${name} PRIVATE flashwin32 flashplatform flash_warnings ${ARGN})
endfunction()

flashutil_program(flashutil)
flashutil_program(flashutil-sim flashsim)
target_compile_definitions(flashutil-sim PRIVATE FLASHUTIL_SIMULATED=1)
