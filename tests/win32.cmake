# Windows builds only: the Win32 platform seam and window toolkit, run where the build's programs
# run (CMAKE_CROSSCOMPILING_EMULATOR: Wine, 64-bit or 32-bit as the build), and quiver.exe end to
# end.
if(WIN32)

# Tests that drive Linux programs (fork, wait) have no place here.
if(TARGET pack_tests)
    set_target_properties(pack_tests PROPERTIES EXCLUDE_FROM_ALL ON)
    if(TEST pack_tests)
        set_tests_properties(pack_tests PROPERTIES DISABLED ON)
    endif()
endif()

set(_win32_dir ${CMAKE_CURRENT_LIST_DIR}/win32)
add_executable(win32_tests ${_win32_dir}/test_win32_platform.cpp
                           ${_win32_dir}/test_win32_library_search.cpp
                           ${_win32_dir}/test_win32_toolkit.cpp
                           ${_win32_dir}/test_win32_guards.cpp)
target_link_libraries(win32_tests PRIVATE quiver_platform_win32 quiver_ui_win32 quiver_host
                                          GTest::gmock GTest::gtest GTest::gtest_main
                                          quiver_warnings)
target_link_options(win32_tests PRIVATE -mconsole)

# The program that drives quiver.exe through its window, as a user would.
add_executable(dialog_driver ${_win32_dir}/dialog_driver.cpp)
target_link_libraries(dialog_driver PRIVATE quiver_warnings user32 gdi32)

# The program that reads a program's manifest and version strings as Windows does.
add_executable(resource_reader ${_win32_dir}/resource_reader.cpp)
target_link_libraries(resource_reader PRIVATE quiver_warnings version)
target_link_options(resource_reader PRIVATE -mconsole)

# The emulated ASPI manager: the emulated machine behind the two entry points of WNASPI32, with
# the machine read from a machine file. For the tests only; it is never installed.
add_library(wnaspi32 SHARED ${_win32_dir}/wnaspi32.cpp ${_win32_dir}/wnaspi32.def)
target_link_libraries(wnaspi32 PRIVATE quiver_machine_file quiver_warnings)
# In a folder of its own: a program beside it would load it in place of the system's manager.
set_target_properties(wnaspi32 PROPERTIES PREFIX "" OUTPUT_NAME wnaspi32
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/win32/lib)
target_link_options(wnaspi32 PRIVATE -Wl,--kill-at)

if(CMAKE_CROSSCOMPILING_EMULATOR OR NOT CMAKE_CROSSCOMPILING)
    # The updaters under test: quiver.exe filled by quiver-pack with the demo image, each copied
    # into a folder of its own beside the emulated manager (the program loads it from its own
    # folder). Made only where the tests run: quiver-pack runs on the build machine.
    set(_win32_data ${_win32_dir}/data)
    set(_win32_work ${CMAKE_CURRENT_BINARY_DIR}/win32)
    set(_win32_packages "")
    foreach(_package flash flash-restart no-match)
        set(_folder ${_win32_work}/${_package})
        add_custom_command(
            OUTPUT ${_folder}/quiver.exe ${_folder}/wnaspi32.dll
            COMMAND ${CMAKE_COMMAND} -E make_directory ${_folder}
            COMMAND quiver-pack fill ${_win32_data}/${_package}.json $<TARGET_FILE:quiver>
                    -o ${_folder}/quiver.exe --image-dir ${CMAKE_BINARY_DIR}/generated
            COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:wnaspi32> ${_folder}/wnaspi32.dll
            DEPENDS quiver quiver-pack wnaspi32 demo_image ${_win32_data}/${_package}.json
            COMMENT "Packaging quiver.exe for the ${_package} test"
            VERBATIM)
        list(APPEND _win32_packages ${_folder}/quiver.exe)
    endforeach()
    # The same updater as quiver95.exe, which the test prefix runs as on Windows 98 (a system
    # without pass-through): beside the emulated manager, and alone.
    add_custom_command(
        OUTPUT ${_win32_work}/flash-98/quiver95.exe ${_win32_work}/flash-98/wnaspi32.dll
               ${_win32_work}/bare-98/quiver95.exe
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_win32_work}/flash-98 ${_win32_work}/bare-98
        COMMAND ${CMAKE_COMMAND} -E copy ${_win32_work}/flash/quiver.exe
                ${_win32_work}/flash-98/quiver95.exe
        COMMAND ${CMAKE_COMMAND} -E copy ${_win32_work}/flash/wnaspi32.dll
                ${_win32_work}/flash-98/wnaspi32.dll
        COMMAND ${CMAKE_COMMAND} -E copy ${_win32_work}/flash/quiver.exe
                ${_win32_work}/bare-98/quiver95.exe
        DEPENDS ${_win32_work}/flash/quiver.exe ${_win32_work}/flash/wnaspi32.dll
        COMMENT "Copying quiver.exe for the Windows 98 tests"
        VERBATIM)
    list(APPEND _win32_packages ${_win32_work}/flash-98/quiver95.exe)
    add_custom_target(win32_test_packages ALL DEPENDS ${_win32_packages})

    # One test per case of the seam's and the toolkit's tests, each its own process, read from
    # the sources (listing the cases would run the program at build time).
    foreach(_source test_win32_platform.cpp test_win32_library_search.cpp test_win32_toolkit.cpp
                    test_win32_guards.cpp)
        set(_labels win32)
        if(_source STREQUAL "test_win32_guards.cpp")
            set(_labels "win32;safety")
        endif()
        file(STRINGS ${_win32_dir}/${_source} _cases REGEX "^TEST(_F)?\\(")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_win32_dir}/${_source})
        foreach(_case IN LISTS _cases)
            string(REGEX REPLACE "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\).*" "\\2.\\3"
                   _name "${_case}")
            add_test(NAME ${_name} COMMAND win32_tests --gtest_filter=${_name})
            set_tests_properties(${_name} PROPERTIES LABELS "${_labels}" TIMEOUT 120)
        endforeach()
    endforeach()
    set_tests_properties(Win32LibrarySearch.TheAspiManagerIsNeverTakenFromTheCurrentDirectory
        PROPERTIES ENVIRONMENT
        "WINEDLLOVERRIDES=wnaspi32=n;QUIVER_TEST_WNASPI32=Z:$<TARGET_FILE:wnaspi32>")
    add_dependencies(win32_tests wnaspi32)

    add_test(NAME quiver_exe_ends_without_drives
             COMMAND dialog_driver answer $<TARGET_FILE:quiver> "No matched drive detected !"
                     "Detected drives :")
    set_tests_properties(quiver_exe_ends_without_drives PROPERTIES
        LABELS win32 TIMEOUT 120 PASS_REGULAR_EXPRESSION "Detected drives :\n\nexit code 0")

    # The real program on the emulated ASPI manager: the drive is found through the manager
    # (Wine reports an NT system, and the ASPI route is taken there when the manager is usable),
    # listed, and flashed through the window.
    set(_aspi_env
        WINEDLLOVERRIDES=wnaspi32=n
        "QUIVER_ASPI_MACHINE=Z:${_win32_data}/aspi-machine.json")
    set(_kmr_line " 1-0-0-0 Korvane DVDRW KMR-730T   QM01")
    set(_other_line " 0-0-1-0 ORBITECHCD-ROM OC-5200   2.10")
    set(QUIVER_SCREENSHOT_DIR ${CMAKE_BINARY_DIR}/screenshots CACHE PATH
        "Where the Windows tests save their screenshots of quiver.exe")
    file(MAKE_DIRECTORY ${QUIVER_SCREENSHOT_DIR})
    add_test(NAME quiver_exe_flashes_through_aspi
             COMMAND dialog_driver flash ${_win32_work}/flash/quiver.exe "${_kmr_line}"
                     ${QUIVER_SCREENSHOT_DIR}/quiver-windows.png
                     ${QUIVER_SCREENSHOT_DIR}/quiver-windows-success.png
                     ${_win32_work}/flash/state.txt
                     "drive E revision QM0F programs 1 boot-code 1")
    set_tests_properties(quiver_exe_flashes_through_aspi PROPERTIES
        LABELS win32 TIMEOUT 300 RUN_SERIAL ON
        ENVIRONMENT "${_aspi_env};QUIVER_ASPI_STATE=Z:${_win32_work}/flash/state.txt")

    # A manager that reports no ASPI (no machine file): on NT the probe fails silently, the
    # program takes the pass-through route, finds no drive letter of an optical drive and ends.
    add_test(NAME quiver_exe_passes_an_unusable_manager_by
             COMMAND dialog_driver answer ${_win32_work}/flash/quiver.exe
                     "No matched drive detected !" "Detected drives :")
    set_tests_properties(quiver_exe_passes_an_unusable_manager_by PROPERTIES
        LABELS win32 TIMEOUT 120 ENVIRONMENT "WINEDLLOVERRIDES=wnaspi32=n"
        PASS_REGULAR_EXPRESSION
        "^(wnaspi32: [^\n]*\n)?dialog \"Error\": No matched drive detected !\n[^\n]*\n\nDetected drives :\n\nexit code 0\n$")

    # Windows 98: no pass-through, so the ASPI route whatever the manager's probe says. With the
    # emulated manager the update goes as on NT; without a usable manager the program shows the
    # manager's failure, finds nothing and ends.
    add_test(NAME quiver_exe_on_windows_98_flashes_through_aspi
             COMMAND dialog_driver flash ${_win32_work}/flash-98/quiver95.exe "${_kmr_line}"
                     ${QUIVER_SCREENSHOT_DIR}/quiver-windows-98.png
                     ${QUIVER_SCREENSHOT_DIR}/quiver-windows-98-success.png
                     ${_win32_work}/flash-98/state.txt
                     "drive E revision QM0F programs 1 boot-code 1")
    set_tests_properties(quiver_exe_on_windows_98_flashes_through_aspi PROPERTIES
        LABELS win32 TIMEOUT 300 RUN_SERIAL ON
        ENVIRONMENT "${_aspi_env};QUIVER_ASPI_STATE=Z:${_win32_work}/flash-98/state.txt")
    add_test(NAME quiver_exe_on_windows_98_reports_a_manager_without_aspi
             COMMAND dialog_driver answer ${_win32_work}/flash-98/quiver95.exe
                     "No matched drive detected !" "Detected drives :")
    set_tests_properties(quiver_exe_on_windows_98_reports_a_manager_without_aspi PROPERTIES
        LABELS win32 TIMEOUT 120 ENVIRONMENT "WINEDLLOVERRIDES=wnaspi32=n"
        PASS_REGULAR_EXPRESSION
        "^(wnaspi32: [^\n]*\n)?dialog \"GetASPISupportInfo:\": Could not find the ASPI manager.\ndialog \"Error\": No matched drive detected !\n[^\n]*\n\nDetected drives :\n\nexit code 0\n$")
    add_test(NAME quiver_exe_on_windows_98_reports_a_missing_manager
             COMMAND dialog_driver answer ${_win32_work}/bare-98/quiver95.exe
                     "No matched drive detected !" "Detected drives :")
    set_tests_properties(quiver_exe_on_windows_98_reports_a_missing_manager PROPERTIES
        LABELS win32 TIMEOUT 120 ENVIRONMENT "WINEDLLOVERRIDES=wnaspi32=n"
        PASS_REGULAR_EXPRESSION
        "^dialog \"Error FS 002\": LoadLibrary:\nWNASPI32.DLL not found.\ndialog \"Error\": No matched drive detected !\n[^\n]*\n\nDetected drives :\n\nexit code 0\n$")

    # quiver.exe without a person: no window, the events on standard output, the history in
    # %ProgramData%\Quiver of the test prefix. A package that asks for a restart ends with 3010
    # and leaves the restart to the caller; Wine hands the low byte of it (194) to the shell. The
    # drive is found through the ASPI manager, so it has no letter.
    foreach(_case "flash;0;0;restart-not-asked" "flash-restart;3010;194;restart-left-to-the-caller")
        list(GET _case 0 _package)
        list(GET _case 1 _status)
        list(GET _case 2 _shell_status)
        list(GET _case 3 _suffix)
        set(_data ${_win32_work}/unattended-${_package})
        file(MAKE_DIRECTORY ${_data})
        add_test(NAME quiver_exe_unattended_${_suffix}
                 COMMAND bash -c "exec bash \"$0\" \"$@\" --history \"$WINEPREFIX/drive_c/ProgramData/Quiver/history.jsonl\" --fresh --records 2 --record '\"revisionAfter\": \"QM0F\".*\"state\": \"ended\".*\"updated\": true' -- ${CMAKE_CROSSCOMPILING_EMULATOR} ${_win32_work}/${_package}/quiver.exe /unattended --log Z:${_data}/update.log"
                         ${CMAKE_CURRENT_LIST_DIR}/unattended/expect_run.sh --status ${_shell_status}
                         --has "^drive drive=\"\" address=1-0-0-0 vendor=Korvane .*admitted=yes"
                         --has "^progress drive=\"\" address=1-0-0-0 stage=transfer attempt=1 percent=100"
                         --has "^result drive=\"\" .*result=updated code=0 revisionBefore=QM01 revisionAfter=QM0F"
                         --has "^exit code=${_status}")
        set_tests_properties(quiver_exe_unattended_${_suffix} PROPERTIES
            LABELS "win32;unattended" TIMEOUT 300 RUN_SERIAL ON
            ENVIRONMENT "${_aspi_env};QUIVER_ASPI_STATE=Z:${_data}/state.txt")
    endforeach()

    # quiver.exe's resources as Windows reads them: the manifest asks for administrator rights
    # and names the systems up to Windows 10 and 11; the version information carries the
    # project's version and, once quiver-pack has filled the package, names that package.
    set(_resources_common
        "manifest~<requestedExecutionLevel level=\"requireAdministrator\""
        "manifest~<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"
        "FileVersion=${PROJECT_VERSION}" "ProductVersion=${PROJECT_VERSION}"
        "(fixed file version)=${PROJECT_VERSION}.0" "ProductName=Quiver"
        "OriginalFilename=quiver.exe")
    add_test(NAME quiver_exe_resources_before_filling
             COMMAND resource_reader $<TARGET_FILE:quiver> ${_resources_common}
                     "FileDescription=Quiver firmware updater (not filled)"
                     "PackageTitle=(not filled)" "DriveName=(not filled)"
                     "FirmwareVersion=(not filled)")
    add_test(NAME quiver_exe_resources_after_filling
             COMMAND resource_reader ${_win32_work}/flash/quiver.exe ${_resources_common}
                     "FileDescription=Firmware QM0F for Korvane DVDRW KMR-730T"
                     "PackageTitle=Flash Program for Korvane DVDRW KMR-730T"
                     "DriveName=Korvane DVDRW KMR-730T" "FirmwareVersion=QM0F")
    set_tests_properties(quiver_exe_resources_before_filling quiver_exe_resources_after_filling
                         PROPERTIES LABELS win32 TIMEOUT 120)

    # The vendors' tools on Windows: quiver-pack.exe fills quiver.exe byte for byte as
    # quiver-pack does on Linux (the updater under test above), and shows it; quiver-sim.exe
    # rehearses that updater on the emulated PC. quiver-pack runs on Linux while building, so
    # the Windows programs are named by their files, run by the build's emulator (Wine).
    set(_run ${CMAKE_CROSSCOMPILING_EMULATOR})
    set(_pack_exe $<TARGET_FILE:quiver-pack>)
    set(_sim_exe $<TARGET_FILE:quiver-sim>)
    add_test(NAME quiver_tools_exe_report_their_version
             COMMAND bash -c "set -e; ${_run} '${_pack_exe}' --version; ${_run} '${_sim_exe}' --version")
    set_tests_properties(quiver_tools_exe_report_their_version PROPERTIES LABELS win32 TIMEOUT 120
        PASS_REGULAR_EXPRESSION
        "^quiver-pack ${PROJECT_VERSION}\r?\nquiver-sim ${PROJECT_VERSION}\r?\n$")
    add_test(NAME quiver_pack_exe_fills_as_on_linux
             COMMAND bash -c "set -e
                 rm -rf '${_win32_work}/pack-exe'; mkdir -p '${_win32_work}/pack-exe'
                 ${_run} '${_pack_exe}' fill '${_win32_data}/flash.json' '$<TARGET_FILE:quiver>' \
                     -o '${_win32_work}/pack-exe/quiver.exe' --image-dir '${CMAKE_BINARY_DIR}/generated'
                 cmp '${_win32_work}/pack-exe/quiver.exe' '${_win32_work}/flash/quiver.exe'
                 echo identical
                 ${_run} '${_pack_exe}' show '${_win32_work}/pack-exe/quiver.exe'")
    set_tests_properties(quiver_pack_exe_fills_as_on_linux PROPERTIES LABELS win32 TIMEOUT 120
        PASS_REGULAR_EXPRESSION "identical\r?\n(.|\n)*FirmwareVersion +\"QM0F\"")
    add_test(NAME quiver_sim_exe_rehearses_the_updater
             COMMAND ${_run} ${_sim_exe} --package ${_win32_work}/flash/quiver.exe --speed virtual)
    set_tests_properties(quiver_sim_exe_rehearses_the_updater PROPERTIES LABELS win32 TIMEOUT 120
        PASS_REGULAR_EXPRESSION
        "dialog information \"Information\" ok \"Firmware has been updated successfully !\"(.|\n)*\nend\r?\n$")

    # Every detected drive is listed, each on a line of its own, after "Detected drives :".
    add_test(NAME quiver_exe_admits_no_drive_of_the_package
             COMMAND dialog_driver answer ${_win32_work}/no-match/quiver.exe
                     "No matched drive detected !"
                     "This utility is only for Korvane DVDRW KMR-730T drive." "Detected drives :"
                     "${_other_line}" "${_kmr_line}")
    set_tests_properties(quiver_exe_admits_no_drive_of_the_package PROPERTIES
        LABELS win32 TIMEOUT 120 ENVIRONMENT "${_aspi_env}")

    # One updater at a time on a machine, and the prefix is one machine: the tests that run
    # quiver.exe or take the updater's mutex take turns.
    get_property(_tests DIRECTORY PROPERTY TESTS)
    foreach(_test IN LISTS _tests)
        if(_test MATCHES "^(quiver_exe_|Win32GuardsTest\\.)")
            set_property(TEST ${_test} APPEND PROPERTY RESOURCE_LOCK quiver_updater_mutex)
        endif()
    endforeach()
endif()

# Under Wine every test runs in a prefix of its own, made before the first test and removed
# after the last: a crash ends the program instead of opening the debugger, and the fonts are
# there. Each build folder has its own prefix and display, so that the 64-bit and the 32-bit tests
# can run one after the other or side by side.
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
    math(EXPR _bits "8 * ${CMAKE_SIZEOF_VOID_P}")
    add_test(NAME wine_prefix_setup
             COMMAND bash ${_win32_dir}/wine-prefix.sh setup ${QUIVER_WINE_PREFIX}
                     ${QUIVER_WINE_DISPLAY} ${_bits})
    add_test(NAME wine_prefix_cleanup
             COMMAND bash ${_win32_dir}/wine-prefix.sh cleanup ${QUIVER_WINE_PREFIX}
                     ${QUIVER_WINE_DISPLAY} ${_bits})
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
