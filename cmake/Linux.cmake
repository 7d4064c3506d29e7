# Linux: SG_IO transport, inih model list reader, Qt window with a terminal face.
find_path(INIH_INCLUDE_DIR ini.h REQUIRED)
# Statically where the static library exists: the programs need no libinih.
find_library(FLASHUTIL_INIH_LIBRARY NAMES libinih.a inih REQUIRED)

file(GLOB FLASHPLATFORM_SOURCES CONFIGURE_DEPENDS platform/linux/*.cpp)
list(FILTER FLASHPLATFORM_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
add_library(flashplatform STATIC ${FLASHPLATFORM_SOURCES})
target_include_directories(flashplatform PRIVATE ${INIH_INCLUDE_DIR})
target_link_libraries(flashplatform PUBLIC flashcore ${FLASHUTIL_INIH_LIBRARY} PRIVATE flash_warnings)

file(GLOB FLASHTERMINAL_SOURCES CONFIGURE_DEPENDS toolkit/terminal/*.cpp)
if(FLASHTERMINAL_SOURCES)
  add_library(flashterminal STATIC ${FLASHTERMINAL_SOURCES})
  target_link_libraries(flashterminal PUBLIC flashplatform flashcore PRIVATE flash_warnings)
  set(FLASHUTIL_HAVE_TERMINAL ON)
endif()

file(GLOB FLASHQT_SOURCES CONFIGURE_DEPENDS toolkit/qt/*.cpp)
if(NOT FLASHQT_SOURCES)
  set(FLASHUTIL_WITH_QT OFF)
endif()
if(FLASHUTIL_WITH_QT)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  # libxcb: the X display is tried before Qt is started on it.
  find_path(XCB_INCLUDE_DIR xcb/xcb.h REQUIRED)
  find_library(XCB_LIBRARY xcb REQUIRED)
  add_library(flashqt STATIC ${FLASHQT_SOURCES})
  target_include_directories(flashqt PRIVATE ${XCB_INCLUDE_DIR})
  target_link_libraries(flashqt PUBLIC flashplatform flashcore Qt6::Widgets PRIVATE ${XCB_LIBRARY} flash_warnings)
endif()

# The program, and the same program on simulated drives.
function(flashutil_program name)
  add_executable(${name} platform/linux/main.cpp)
  target_link_libraries(${name} PRIVATE flashplatform flash_warnings ${ARGN})
  if(FLASHUTIL_WITH_QT)
    target_link_libraries(${name} PRIVATE flashqt)
    target_compile_definitions(${name} PRIVATE FLASHUTIL_HAVE_QT=1)
  endif()
  if(FLASHUTIL_HAVE_TERMINAL)
    target_link_libraries(${name} PRIVATE flashterminal)
    target_compile_definitions(${name} PRIVATE FLASHUTIL_HAVE_TERMINAL=1)
  endif()
endfunction()

flashutil_program(flashutil)
flashutil_program(flashutil-sim flashsim)
target_compile_definitions(flashutil-sim PRIVATE FLASHUTIL_SIMULATED=1)
