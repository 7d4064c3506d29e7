# Linux: SG_IO transport, inih model list reader, Qt window with a terminal face.
#
# The programs need nothing beyond the C library and the C++ runtime: inih is
# linked statically, and the Qt face is a shared object of its own that each
# program carries in its file and loads at start when a window may open.
find_path(INIH_INCLUDE_DIR ini.h REQUIRED)
# Statically where the static library exists: the programs need no libinih.
find_library(FLASHUTIL_INIH_LIBRARY NAMES libinih.a inih REQUIRED)

add_library(flashplatform STATIC
  platform/linux/IniReader.cpp platform/linux/ProgramFile.cpp platform/linux/QtFaceLoader.cpp
  platform/linux/SgIoTransport.cpp platform/linux/SmallFiles.cpp platform/linux/SystemGuard.cpp
  platform/linux/WorkSignals.cpp)
flashutil_layer_root(flashplatform PUBLIC platform platform/linux)
# The Qt loader knows the type of the one entry of the Qt face it loads.
flashutil_layer_root(flashplatform PRIVATE qt-entry toolkit/qt)
target_include_directories(flashplatform PRIVATE ${INIH_INCLUDE_DIR})
target_link_libraries(flashplatform PUBLIC flashcore ${FLASHUTIL_INIH_LIBRARY} PRIVATE flash_warnings)

add_library(flashterminal STATIC toolkit/terminal/TerminalToolkit.cpp)
flashutil_layer_root(flashterminal PUBLIC terminal toolkit/terminal)
target_link_libraries(flashterminal PUBLIC flashplatform flashcore PRIVATE flash_warnings)
set(FLASHUTIL_HAVE_TERMINAL ON)

set(FLASHQT_SOURCES toolkit/qt/QtDisplay.cpp toolkit/qt/QtToolkit.cpp)
if(FLASHUTIL_WITH_QT)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  # libxcb: the X display is tried before Qt is started on it.
  find_path(XCB_INCLUDE_DIR xcb/xcb.h REQUIRED)
  find_library(XCB_LIBRARY xcb REQUIRED)
  # The Qt toolkit compiled once: into the tests' static library and into the
  # shared object of the programs.
  add_library(flashqt_objects OBJECT ${FLASHQT_SOURCES})
  set_target_properties(flashqt_objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(flashqt_objects PRIVATE ${XCB_INCLUDE_DIR})
  flashutil_layer_root(flashqt_objects PUBLIC qt toolkit/qt)
  target_link_libraries(flashqt_objects PRIVATE flashplatform flashcore Qt6::Widgets flash_warnings)
  add_library(flashqt STATIC $<TARGET_OBJECTS:flashqt_objects>)
  target_include_directories(flashqt PUBLIC ${PROJECT_BINARY_DIR}/layers/qt)
  target_link_libraries(flashqt PUBLIC flashplatform flashcore Qt6::Widgets PRIVATE ${XCB_LIBRARY})

  # flashutil-qt.so: the toolkit and its entry, linked to Qt but not to the core.
  # Its references to the core resolve at load time to the program's own
  # definitions, which the programs export (ENABLE_EXPORTS), so the process holds
  # one copy of the core and its state. It carries no package, so the package
  # keyword stays unique in the program file.
  add_library(flashutil-qt MODULE toolkit/qt/QtFace.cpp $<TARGET_OBJECTS:flashqt_objects>)
  set_target_properties(flashutil-qt PROPERTIES PREFIX "" POSITION_INDEPENDENT_CODE ON
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_link_libraries(flashutil-qt PRIVATE Qt6::Widgets ${XCB_LIBRARY} flash_warnings)
  target_include_directories(flashutil-qt PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

  # Its bytes, without the debugging sections, placed in the programs' read-only
  # data by the assembler.
  set(FLASHQT_FACE_EMBEDDED ${CMAKE_BINARY_DIR}/flashutil-qt.embedded.so)
  add_custom_command(OUTPUT ${FLASHQT_FACE_EMBEDDED}
    COMMAND ${CMAKE_OBJCOPY} --strip-debug $<TARGET_FILE:flashutil-qt> ${FLASHQT_FACE_EMBEDDED}
    DEPENDS flashutil-qt VERBATIM)
  add_custom_target(flashutil-qt-embedded DEPENDS ${FLASHQT_FACE_EMBEDDED})
  enable_language(ASM)
  set(FLASHQT_FACE_ASM ${CMAKE_BINARY_DIR}/flashutil-qt-face.S)
  file(CONFIGURE OUTPUT ${FLASHQT_FACE_ASM} @ONLY CONTENT [=[
  .section .rodata.flashutil_qt_face, "a"
  .balign 64
  .globl flashutil_qt_face
  .type flashutil_qt_face, @object
flashutil_qt_face:
  .incbin "@FLASHQT_FACE_EMBEDDED@"
  .globl flashutil_qt_face_end
flashutil_qt_face_end:
  .section .note.GNU-stack, "", @progbits
]=])
  set_source_files_properties(${FLASHQT_FACE_ASM} PROPERTIES OBJECT_DEPENDS ${FLASHQT_FACE_EMBEDDED})
  add_library(flashqt_face STATIC ${FLASHQT_FACE_ASM})
  add_dependencies(flashqt_face flashutil-qt-embedded)
endif()

# The program, and the same program on simulated drives.
function(flashutil_program name)
  add_executable(${name} platform/linux/main.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE flashplatform flash_warnings ${ARGN})
  if(FLASHUTIL_WITH_QT)
    target_link_libraries(${name} PRIVATE flashqt_face)
    target_compile_definitions(${name} PRIVATE FLASHUTIL_HAVE_QT=1)
    set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  endif()
  if(FLASHUTIL_HAVE_TERMINAL)
    target_link_libraries(${name} PRIVATE flashterminal)
    target_compile_definitions(${name} PRIVATE FLASHUTIL_HAVE_TERMINAL=1)
  endif()
endfunction()

flashutil_program(flashutil)
flashutil_program(flashutil-sim flashsim)
target_compile_definitions(flashutil-sim PRIVATE FLASHUTIL_SIMULATED=1)
