# The main window, written once against the toolkit seam; it may use every layer below it.
add_library(quiver_app STATIC
    ${CMAKE_CURRENT_LIST_DIR}/app/frm_quiver.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/frm_quiver_update.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/pictures.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/unattended_run.cpp
    ${CMAKE_CURRENT_LIST_DIR}/app/update_record.cpp
)
quiver_headers(quiver_app app app)
target_link_libraries(quiver_app
    PUBLIC quiver_ui quiver_ui_console quiver_worker quiver_flash quiver_device quiver_package quiver_host quiver_platform
    PRIVATE nlohmann_json::nlohmann_json quiver_warnings)
target_compile_definitions(quiver_app PRIVATE QUIVER_VERSION="${PROJECT_VERSION}")
