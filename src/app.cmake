# The main window, written once against the toolkit seam.
add_library(quiver_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/app/frm_quiver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/pictures.cpp
)
target_include_directories(quiver_app PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quiver_app PUBLIC quiver_ui quiver_drive PRIVATE quiver_warnings)
