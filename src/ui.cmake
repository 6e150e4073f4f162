# The window toolkit seam, and its headless realisation for the tests and the emulated PC. The
# toolkit knows nothing of the drive logic: ui -> host, platform.
add_library(quiver_ui STATIC ${CMAKE_CURRENT_LIST_DIR}/ui/toolkit.cpp)
quiver_headers(quiver_ui ui ui)
target_link_libraries(quiver_ui PRIVATE quiver_warnings)

add_library(quiver_ui_headless STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_controls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_form.cpp)
target_link_libraries(quiver_ui_headless PUBLIC quiver_ui
                                         PRIVATE quiver_platform quiver_host quiver_warnings)

# The console toolkit: no window and no person, for unattended runs. Built wherever the updaters
# are: it needs nothing of a window system.
add_library(quiver_ui_console STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/console/console_application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/console/console_form.cpp)
target_link_libraries(quiver_ui_console PUBLIC quiver_ui
                                        PRIVATE quiver_platform quiver_host quiver_warnings)
