# Shared by the MinGW-w64 toolchain files: set QUIVER_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model: the win32 one lacks std::mutex and std::condition_variable.
set(CMAKE_C_COMPILER ${QUIVER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUIVER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUIVER_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUIVER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime is linked in: the programs need no DLL beyond the system's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Header-only packages of the build machine, offered without its /usr/include (see the folder).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages/nlohmann_json CACHE PATH "")
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-packages/CLI11 CACHE PATH "")

# Wine runs the programs and the tests (32-bit programs need 32-bit Wine, wine32, beside it).
find_program(QUIVER_WINE wine)
if(QUIVER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QUIVER_WINE})
endif()
