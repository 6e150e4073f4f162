# 32-bit Windows with MinGW-w64. The programs run here under 32-bit Wine (wine32), which runs the
# build's tests too.
set(QUIVER_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
