quiver_test(core_tests core
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/core/test_package.cpp
        ${CMAKE_CURRENT_LIST_DIR}/core/test_match_drives.cpp
        ${CMAKE_CURRENT_LIST_DIR}/core/test_hi_timer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/core/test_os_info.cpp
    LIBS quiver_package quiver_host quiver_device quiver_platform_sim
)
