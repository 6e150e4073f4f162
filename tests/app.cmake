# The main window on the headless toolkit and the emulated PC: start-up, the drive list, the
# update workflow with its disc and tray check, the progress display and the completion.
file(GLOB APP_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/app/*.cpp)
quiver_test(app_tests app
    SOURCES ${APP_TEST_SOURCES}
    LIBS quiver_app quiver_ui_headless quiver_platform_sim quiver_formats
)
target_include_directories(app_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/device
                                             ${CMAKE_CURRENT_LIST_DIR}/core)
