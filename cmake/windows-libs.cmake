# libsndfile and libsamplerate for a Windows build of the encoder.
#
# A cross build from Linux makes them first: tools/windows-libs.sh builds
# Debian's own sources of both, static, into YM2608_WINDOWS_LIBS (at once
# when its cached build there is current), and pkg-config then looks there
# and nowhere else, since the host's .pc files name Linux libraries. With
# YM2608_WINDOWS_LIBS set empty, pkg-config is taken as the environment sets
# it up instead (for a host whose distribution builds them for mingw).
# A build on Windows itself takes them from its own pkg-config (MSYS2:
# mingw-w64-x86_64-libsndfile and mingw-w64-x86_64-libsamplerate); without
# them the encoder is left out, as before, and the console still builds.
#
# Sets YM2608_WINDOWS_LIBS_FOUND.
include_guard(DIRECTORY)

if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX)
  set(YM2608_WINDOWS_LIBS ${PROJECT_SOURCE_DIR}/build-mingw-deps CACHE PATH
    "Where tools/windows-libs.sh puts the static Windows builds of libsndfile and libsamplerate")
endif()
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX AND YM2608_WINDOWS_LIBS)
  execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/tools/windows-libs.sh ${YM2608_WINDOWS_LIBS}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "tools/windows-libs.sh could not build libsndfile and libsamplerate for Windows")
  endif()
  set(ENV{PKG_CONFIG_LIBDIR} ${YM2608_WINDOWS_LIBS}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  # The toolchain finds libraries below its root only; the prefix is one more root.
  list(APPEND CMAKE_FIND_ROOT_PATH ${YM2608_WINDOWS_LIBS})
  set(YM2608_WINDOWS_LIBS_FOUND TRUE)
  return()
endif()

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(SNDFILE QUIET IMPORTED_TARGET sndfile)
  pkg_check_modules(SAMPLERATE QUIET IMPORTED_TARGET samplerate)
endif()
if(SNDFILE_FOUND AND SAMPLERATE_FOUND)
  set(YM2608_WINDOWS_LIBS_FOUND TRUE)
else()
  set(YM2608_WINDOWS_LIBS_FOUND FALSE)
  message(STATUS "libsndfile or libsamplerate not found through pkg-config: ym2608-adpcm is left out")
endif()
