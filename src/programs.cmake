# A quiver-sim run: the command line, the headless window on the emulated PC, the transcript.
add_library(quiver_simrun STATIC ${CMAKE_CURRENT_LIST_DIR}/simapp/session.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/simapp/unattended_session.cpp)
target_link_libraries(quiver_simrun PUBLIC quiver_simapp quiver_app quiver_ui_headless
                                           quiver_platform_sim PRIVATE quiver_warnings)

# quiver-sim: the updater on the emulated PC, with a headless window and a transcript.
add_executable(quiver-sim ${CMAKE_CURRENT_LIST_DIR}/simapp/quiver_sim_main.cpp)
target_link_libraries(quiver-sim PRIVATE quiver_simrun quiver_command_line quiver_warnings)
if(WIN32)
    quiver_windows_resources(quiver-sim DESCRIPTION "Quiver on an emulated PC: rehearses an updater")
endif()
