# The window toolkit seam, and its headless realisation for the tests and the emulated PC.
add_library(quiver_ui STATIC ${CMAKE_CURRENT_LIST_DIR}/ui/toolkit.cpp)
target_include_directories(quiver_ui PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quiver_ui PUBLIC quiver_drive PRIVATE quiver_warnings)

add_library(quiver_ui_headless STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_controls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_events.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/headless/headless_form.cpp)
target_include_directories(quiver_ui_headless PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quiver_ui_headless PUBLIC quiver_ui quiver_drive PRIVATE quiver_warnings)
