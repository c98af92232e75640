# What `cmake --install` puts where, and the packages cpack makes from it.
#
# Linux (GNUInstallDirs, so `--prefix /usr/local` and `/usr` both work):
#   bin/                                 the programs that were built
#   share/man/man1/                      their pages, gzipped (man/CMakeLists.txt)
#   share/bash-completion/completions/   one completion script, one name per program
#   share/doc/ym2608-console/            README.md, LICENSE, examples/
# `cpack -G DEB` makes ym2608-console_VERSION_amd64.deb of that, for /usr.
#
# Windows (the mingw cross build): ym2608-console.exe, ym2608-play.exe,
# ym2608-adpcm.exe, their man pages as plain text (NAME.txt), README.md,
# LICENSE and the Windows note at the top of ym2608-console-VERSION-win64.zip.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The ym2608-console authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console for a YM2608 sound board on a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(YM2608_PROGRAMS ym2608-console)
  foreach(program ym2608-adpcm ym2608-play)
    if(TARGET ${program})
      list(APPEND YM2608_PROGRAMS ${program})
    endif()
  endforeach()
  install(TARGETS ${YM2608_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES README.md LICENSE windows/README-Windows.txt DESTINATION .)
  # Windows has no man: each program's page goes in as plain text, made on
  # the build machine (Debian packages scdoc and groff-base).
  find_program(YM2608_SCDOC scdoc)
  find_program(YM2608_GROFF groff)
  if(YM2608_SCDOC AND YM2608_GROFF)
    set(pages)
    foreach(program IN LISTS YM2608_PROGRAMS)
      configure_file(man/${program}.1.scd man/${program}.1.scd @ONLY)
      set(page ${CMAKE_BINARY_DIR}/man/${program}.txt)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -DSCDOC=${YM2608_SCDOC} -DGROFF=${YM2608_GROFF}
                -DSOURCE=${CMAKE_BINARY_DIR}/man/${program}.1.scd -DOUTPUT=${page}
                -P ${PROJECT_SOURCE_DIR}/cmake/man-text.cmake
        DEPENDS ${CMAKE_BINARY_DIR}/man/${program}.1.scd ${PROJECT_SOURCE_DIR}/cmake/man-text.cmake
        COMMENT "Man page ${program}(1) as text"
        VERBATIM)
      list(APPEND pages ${page})
    endforeach()
    add_custom_target(man-text ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION .)
  else()
    message(STATUS "scdoc or groff not found: the man pages are left out of the zip")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

# Every program this build made; ym2608-play and the companions only when
# their folders are in the tree and built.
set(YM2608_PROGRAMS ym2608-console)
foreach(program ym2608-board-emu ym2608-adpcm ym2608-play)
  if(TARGET ${program})
    list(APPEND YM2608_PROGRAMS ${program})
  endif()
endforeach()

install(TARGETS ${YM2608_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# bash-completion loads a command's completion from a file of that command's
# name in its completions folder. The folder pkg-config names lies under
# bash-completion's own prefix (/usr); it is taken relative to our prefix, so
# an install to /usr/local lands in /usr/local/share/..., which bash-completion
# also searches (XDG_DATA_DIRS).
find_package(PkgConfig QUIET)
set(completions_default ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(completions_dir bash-completion completionsdir)
  pkg_get_variable(completions_prefix bash-completion prefix)
  if(completions_dir AND completions_prefix AND completions_dir MATCHES "^${completions_prefix}/(.+)$")
    set(completions_default ${CMAKE_MATCH_1})
  endif()
endif()
set(YM2608_BASH_COMPLETION_DIR ${completions_default} CACHE STRING
  "Where the bash completion scripts go (relative to the install prefix)")
set(completion_links ${CMAKE_BINARY_DIR}/completions)
file(MAKE_DIRECTORY ${completion_links})
foreach(program IN LISTS YM2608_PROGRAMS)
  if(program STREQUAL ym2608-console)
    install(FILES completion/ym2608.bash DESTINATION ${YM2608_BASH_COMPLETION_DIR} RENAME ym2608-console)
  else()
    # The other names link to the one script: it serves every program.
    file(CREATE_LINK ym2608-console ${completion_links}/${program} SYMBOLIC)
    install(FILES ${completion_links}/${program} DESTINATION ${YM2608_BASH_COMPLETION_DIR})
  endif()
endforeach()

add_subdirectory(man)

# The Debian package. Files that only a Debian package carries (copyright,
# changelog) are added to its tree by cmake/deb-files.cmake just before
# packing, so a plain `cmake --install` does not get them.
set(YM2608_MAINTAINER "ym2608-console developers <ym2608-console@example.org>" CACHE STRING
  "The Debian package's Maintainer field")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT ${YM2608_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${YM2608_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION
  "ym2608-console drives a sound board built around the Yamaha YM2608 (OPNA)
chip over a serial line. Engineers type one-letter commands at its prompt to
identify the board, write chip registers, sound the rhythm section, load ADPCM
samples into the chip's memory and play them, and send data files; each
command's outcome is printed as one short line.

The package also holds ym2608-board-emu, an emulation of the board on a
pseudo-terminal for trying the console without hardware, and ym2608-adpcm,
which encodes recordings into the chip's ADPCM and decodes them back to WAV.")
if(TARGET ym2608-play)
  string(APPEND CPACK_PACKAGE_DESCRIPTION
    "\nym2608-play plays VGM, VGZ and S98 music logs on the board, on time.")
endif()
set(YM2608_DEB_DOCDIR usr/share/doc/${PROJECT_NAME})
configure_file(cmake/deb-files.cmake.in ${CMAKE_BINARY_DIR}/deb-files.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/deb-files.cmake)
include(CPack)
