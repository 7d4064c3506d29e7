# Windows: pass-through and ASPI transports, the INI reader of the platform, the
# native Win32 window. Filled in by the Windows build.
file(GLOB FLASHPLATFORM_SOURCES CONFIGURE_DEPENDS platform/windows/*.cpp)
list(FILTER FLASHPLATFORM_SOURCES EXCLUDE REGEX ".*/main\\.cpp$")
if(FLASHPLATFORM_SOURCES)
  add_library(flashplatform STATIC ${FLASHPLATFORM_SOURCES})
  target_link_libraries(flashplatform PUBLIC flashcore PRIVATE flash_warnings)
endif()
