# quiver-sim: the updater on the emulated PC, with a headless window and a transcript.
add_executable(quiver-sim ${CMAKE_CURRENT_LIST_DIR}/simapp/quiver_sim_main.cpp)
target_link_libraries(quiver-sim PRIVATE quiver_simapp quiver_app quiver_ui_headless
                                         quiver_platform_sim quiver_command_line quiver_warnings)
if(WIN32)
    quiver_windows_resources(quiver-sim DESCRIPTION "Quiver on an emulated PC: rehearses an updater")
endif()
