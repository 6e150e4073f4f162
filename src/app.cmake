# The main window, written once against the toolkit seam; it may use every layer below it.
add_library(quiver_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/app/frm_quiver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/pictures.cpp
)
quiver_headers(quiver_app app app)
target_link_libraries(quiver_app
    PUBLIC quiver_ui quiver_worker quiver_device quiver_package quiver_host quiver_platform
    PRIVATE quiver_warnings)
