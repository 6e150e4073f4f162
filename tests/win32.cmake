# Windows builds only: the Win32 platform seam and window toolkit, run where the build's programs
# run (CMAKE_CROSSCOMPILING_EMULATOR: Wine for the 64-bit build; the 32-bit build registers no
# tests), and a smoke test of quiver.exe.
if(WIN32)

# Tests that drive Linux programs (fork, wait) have no place here.
if(TARGET pack_tests)
    set_target_properties(pack_tests PROPERTIES EXCLUDE_FROM_ALL ON)
    if(TEST pack_tests)
        set_tests_properties(pack_tests PROPERTIES DISABLED ON)
    endif()
endif()

set(_win32_dir ${CMAKE_CURRENT_LIST_DIR}/win32)
quiver_test(win32_tests win32
    SOURCES
        ${_win32_dir}/test_win32_platform.cpp
        ${_win32_dir}/test_win32_toolkit.cpp
    LIBS quiver_platform_win32 quiver_ui_win32
)
target_link_options(win32_tests PRIVATE -mconsole)

add_executable(dialog_driver ${_win32_dir}/dialog_driver.cpp)
target_link_libraries(dialog_driver PRIVATE quiver_warnings user32)

if(CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_CROSSCOMPILING)
    add_test(NAME quiver_exe_ends_without_drives
             COMMAND dialog_driver $<TARGET_FILE:quiver> "No matched drive detected !")
    set_tests_properties(quiver_exe_ends_without_drives PROPERTIES LABELS win32 TIMEOUT 120)
    add_dependencies(dialog_driver quiver)
endif()

# Under Wine every test runs in a prefix of its own, made before the first test and removed
# after the last: a crash ends the program instead of opening the debugger, and the fonts are
# there.
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    string(MD5 _build_hash "${CMAKE_BINARY_DIR}")
    string(SUBSTRING "${_build_hash}" 0 12 _build_hash)
    if(DEFINED ENV{TMPDIR} AND IS_DIRECTORY "$ENV{TMPDIR}")
        set(_tmp "$ENV{TMPDIR}")
    else()
        set(_tmp /tmp)
    endif()
    set(QUIVER_WINE_PREFIX "${_tmp}/quiver-wine-${_build_hash}" CACHE PATH
        "The Wine prefix the tests make and remove (a quiver-wine-* folder)")
    # An X display of the tests' own (Xvfb), numbered from the build folder.
    math(EXPR _display "200 + 0x${_build_hash} % 600" OUTPUT_FORMAT DECIMAL)
    set(QUIVER_WINE_DISPLAY ":${_display}" CACHE STRING "The Xvfb display the Wine tests use")
    add_test(NAME wine_prefix_setup
             COMMAND bash ${_win32_dir}/wine-prefix.sh setup ${QUIVER_WINE_PREFIX}
                     ${QUIVER_WINE_DISPLAY})
    add_test(NAME wine_prefix_cleanup
             COMMAND bash ${_win32_dir}/wine-prefix.sh cleanup ${QUIVER_WINE_PREFIX}
                     ${QUIVER_WINE_DISPLAY})
    set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
    set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
    get_property(_tests DIRECTORY PROPERTY TESTS)
    foreach(_test IN LISTS _tests)
        if(NOT _test MATCHES "^wine_prefix_")
            set_property(TEST ${_test} APPEND PROPERTY FIXTURES_REQUIRED wine)
            set_property(TEST ${_test} APPEND PROPERTY ENVIRONMENT
                         "WINEPREFIX=${QUIVER_WINE_PREFIX}" "DISPLAY=${QUIVER_WINE_DISPLAY}"
                         WINEDEBUG=-all WINEARCH=win64)
        endif()
    endforeach()
endif()

endif()
