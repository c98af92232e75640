# The application manifest of the Windows programs (windows/program.manifest):
# UTF-8 as the process's code page, so that the narrow file and command-line
# functions the shared code calls (fopen, stat, CreateFileA, argv) take
# UTF-8 and any file name works (Windows 10 version 1903 and later), as on
# Linux; no elevation asked.
#   ym2608_windows_manifest(TARGET)
# embeds it: a linker input for MSVC, a resource compiled by windres for mingw.
include_guard(GLOBAL)

function(ym2608_windows_manifest target)
  set(manifest ${PROJECT_SOURCE_DIR}/windows/program.manifest)
  if(MSVC)
    target_sources(${target} PRIVATE ${manifest})
    return()
  endif()
  # 1 is the manifest a process starts with, 24 the manifest resource type.
  set(resource ${CMAKE_BINARY_DIR}/generated/program-manifest.rc)
  file(WRITE ${resource}.tmp "1 24 \"${manifest}\"\n")
  file(COPY_FILE ${resource}.tmp ${resource} ONLY_IF_DIFFERENT)
  file(REMOVE ${resource}.tmp)
  target_sources(${target} PRIVATE ${resource})
  set_property(SOURCE ${resource} APPEND PROPERTY OBJECT_DEPENDS ${manifest})
endfunction()
