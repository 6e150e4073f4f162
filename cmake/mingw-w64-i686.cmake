# 32-bit Windows with MinGW-w64. Nothing 32-bit runs on the build machine, so the build has no
# emulator: its programs are built, not run.
set(QUIVER_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
