# The guards of an update (label safety): one updater per machine, the system held up and the
# drives locked while they are flashed, on the emulated PC and through the Windows guards.
file(GLOB SAFETY_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/safety/*.cpp)
quiver_test(safety_tests safety
    SOURCES ${SAFETY_TEST_SOURCES}
    LIBS quiver_app quiver_ui_headless quiver_platform_sim quiver_simapp quiver_formats
)
target_include_directories(safety_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app
                                                ${CMAKE_CURRENT_LIST_DIR}/device
                                                ${CMAKE_CURRENT_LIST_DIR}/core)
