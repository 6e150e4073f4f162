# quiver-sim: machine files, the transcript, the demo package and whole runs.
quiver_test(simapp_tests app
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/simapp/test_machine_file.cpp
        ${CMAKE_CURRENT_LIST_DIR}/simapp/test_transcript.cpp
        ${CMAKE_CURRENT_LIST_DIR}/simapp/test_demo_package.cpp
        ${CMAKE_CURRENT_LIST_DIR}/simapp/test_session.cpp
    LIBS quiver_simrun quiver_formats
)
target_compile_definitions(simapp_tests PRIVATE QUIVER_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
