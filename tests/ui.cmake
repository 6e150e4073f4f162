# The headless window toolkit on the emulated machine.
quiver_test(ui_tests app
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/ui/test_headless.cpp
    LIBS quiver_ui_headless quiver_worker quiver_host quiver_platform_sim
)
