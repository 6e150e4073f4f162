# The fault matrix: the whole program on the emulated PC, one injected fault per case.
file(GLOB FAULT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/faults/*.cpp)
quiver_test(fault_tests faults
    SOURCES ${FAULT_TEST_SOURCES}
    LIBS quiver_app quiver_ui_headless quiver_platform_sim quiver_formats
)
target_include_directories(fault_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/app
                                               ${CMAKE_CURRENT_LIST_DIR}/device
                                               ${CMAKE_CURRENT_LIST_DIR}/core)
