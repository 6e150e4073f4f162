# The Linux backend of the seam on a fake sysfs tree, and, through the SG_IO interposer, against
# emulated drives (with sg3_utils where installed).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    quiver_test(linux_platform_tests linux
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/linux/test_linux_drives.cpp
        LIBS quiver_platform_linux quiver_fake_sysfs
    )

    # The Linux flash guards (label safety): the lock file, the drive claims through the
    # interposer where it is built, and the login manager's inhibitor on a private bus.
    add_executable(linux_guards_tests ${CMAKE_CURRENT_LIST_DIR}/linux/test_linux_flash_guards.cpp)
    target_link_libraries(linux_guards_tests PRIVATE quiver_platform_linux quiver_device
                                                     quiver_fake_sysfs GTest::gtest GTest::gtest_main quiver_warnings)
    set(_guards_environment "")
    if(TARGET quiver_sgio)
        add_dependencies(linux_guards_tests quiver_sgio)
        set(_guards_environment "LD_PRELOAD=${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so")
    endif()
    # One value per property: gtest_discover_tests passes a list on as separate arguments.
    gtest_discover_tests(linux_guards_tests DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS safety ENVIRONMENT "${_guards_environment}")

    find_package(PkgConfig REQUIRED)
    pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
    add_executable(linux_inhibitor_test ${CMAKE_CURRENT_LIST_DIR}/linux/test_login_inhibitor.cpp)
    target_link_libraries(linux_inhibitor_test PRIVATE quiver_platform_linux PkgConfig::SYSTEMD
                                                       GTest::gtest quiver_warnings)
    add_test(NAME linux_login_inhibitor COMMAND linux_inhibitor_test)
    set_tests_properties(linux_login_inhibitor PROPERTIES LABELS "safety;linux" TIMEOUT 60
                                                          SKIP_RETURN_CODE 77)

    # The Qt toolkit, and the main window on it: offscreen, on the emulated PC, and through the
    # interposer where it is built (the window test that needs it skips itself without it).
    find_package(Qt6 REQUIRED COMPONENTS Widgets)
    set(_qt_dir ${CMAKE_CURRENT_LIST_DIR}/ui/qt)
    add_executable(qt_tests ${_qt_dir}/qt_main.cpp ${_qt_dir}/test_qt_toolkit.cpp
                            ${_qt_dir}/test_qt_window.cpp)
    target_include_directories(qt_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(qt_tests PRIVATE quiver_ui_qt quiver_app quiver_platform_linux
        quiver_simapp quiver_fake_sysfs Qt6::Widgets GTest::gmock GTest::gtest quiver_warnings)
    # The program selects the offscreen platform itself (tests/ui/qt/qt_main.cpp); one
    # ENVIRONMENT entry only, as gtest_discover_tests passes a list on as separate arguments.
    set(_qt_environment QT_QPA_PLATFORM=offscreen)
    if(TARGET quiver_sgio)
        add_dependencies(qt_tests quiver_sgio)
        set(_qt_environment "LD_PRELOAD=${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so")
    endif()
    gtest_discover_tests(qt_tests DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS linux ENVIRONMENT ${_qt_environment} TIMEOUT 120)

    # The interposer is preloaded into the test and into the sg3_utils it runs; sanitizer
    # builds have no interposer (src/linux.cmake).
    if(TARGET quiver_sgio)
        find_program(QUIVER_SG_INQ sg_inq)
        find_program(QUIVER_SG_RAW sg_raw)
        add_executable(linux_interposer_tests ${CMAKE_CURRENT_LIST_DIR}/linux/test_interposer.cpp)
        target_link_libraries(linux_interposer_tests PRIVATE quiver_platform_linux quiver_flash
            quiver_device quiver_sim quiver_formats quiver_fake_sysfs GTest::gmock GTest::gtest GTest::gtest_main quiver_warnings)
        target_compile_definitions(linux_interposer_tests PRIVATE
            QUIVER_SG_INQ="$<$<BOOL:${QUIVER_SG_INQ}>:${QUIVER_SG_INQ}>"
            QUIVER_SG_RAW="$<$<BOOL:${QUIVER_SG_RAW}>:${QUIVER_SG_RAW}>")
        add_dependencies(linux_interposer_tests quiver_sgio)
        gtest_discover_tests(linux_interposer_tests DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS linux
                       ENVIRONMENT "LD_PRELOAD=${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so")

        # The fault matrix's case for the Linux backend: a block node mapped to another
        # drive's generic node, the whole program through the interposer.
        add_executable(linux_fault_tests
            ${CMAKE_CURRENT_LIST_DIR}/faults/linux/test_generic_node.cpp)
        target_link_libraries(linux_fault_tests PRIVATE quiver_app quiver_ui_headless
            quiver_platform_linux quiver_simapp quiver_fake_sysfs GTest::gtest GTest::gtest_main quiver_warnings)
        target_include_directories(linux_fault_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
        add_dependencies(linux_fault_tests quiver_sgio)
        gtest_discover_tests(linux_fault_tests DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS faults
                       ENVIRONMENT "LD_PRELOAD=${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so")

        # What a user without access to the nodes is told: the whole program on nodes the
        # interposer refuses.
        add_executable(linux_access_tests ${CMAKE_CURRENT_LIST_DIR}/linux/test_linux_access.cpp)
        target_link_libraries(linux_access_tests PRIVATE quiver_app quiver_ui_headless
            quiver_platform_linux quiver_simapp quiver_fake_sysfs GTest::gtest GTest::gtest_main
            quiver_warnings)
        add_dependencies(linux_access_tests quiver_sgio)
        gtest_discover_tests(linux_access_tests DISCOVERY_TIMEOUT 60
            PROPERTIES LABELS linux
                       ENVIRONMENT "LD_PRELOAD=${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so")

        # quiver itself, end to end: packed, on the interposer's drives, with a preloaded driver
        # playing the user (a Qt library; the program is not changed for the test).
        add_library(quiver_qt_driver SHARED ${CMAKE_CURRENT_LIST_DIR}/linux/qt_driver.cpp)
        target_link_libraries(quiver_qt_driver PRIVATE Qt6::Widgets quiver_warnings)
        set_target_properties(quiver_qt_driver PROPERTIES
            OUTPUT_NAME quiver-qt-driver
            LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
        add_test(NAME quiver_end_to_end
                 COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/linux/quiver_end_to_end.sh
                         $<TARGET_FILE:quiver-pack> $<TARGET_FILE:quiver>
                         ${CMAKE_BINARY_DIR}/generated/demo_image.bin
                         ${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so
                         $<TARGET_FILE:quiver_qt_driver>
                         ${CMAKE_CURRENT_LIST_DIR}/linux/quiver-end-to-end.json
                         "$<$<BOOL:${QUIVER_SG_INQ}>:${QUIVER_SG_INQ}>")
        set_tests_properties(quiver_end_to_end PROPERTIES LABELS linux TIMEOUT 120
                                                          SKIP_RETURN_CODE 77)
    endif()
endif()
