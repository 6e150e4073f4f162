# Random schedules: machines, packages, faults and answers drawn by RapidCheck, each run through
# the whole program on the emulated PC, and the flash invariants checked after every case.
# They need the emulated PC's platform and RapidCheck from the build host: Linux builds only.
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return()
endif()
find_package(rapidcheck REQUIRED)

# The cases, their run and their checks, apart from the generator, so that a case written out
# once can be run again as a fixed test.
add_library(quiver_chaos STATIC
    ${CMAKE_CURRENT_LIST_DIR}/chaos/chaos_case.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chaos/chaos_run.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chaos/chaos_check.cpp
)
target_include_directories(quiver_chaos PUBLIC ${CMAKE_CURRENT_LIST_DIR}/chaos
                                        PRIVATE ${CMAKE_CURRENT_LIST_DIR}/core)
target_link_libraries(quiver_chaos
    PUBLIC quiver_app quiver_ui_headless quiver_platform_sim quiver_machine_file
    PRIVATE quiver_formats quiver_warnings)
target_compile_definitions(quiver_chaos PRIVATE QUIVER_SIM_PROGRAM="$<TARGET_FILE:quiver-sim>")

# The number of cases CTest runs: well within two minutes under the linux preset while other
# tests run beside it, fewer under the sanitizers. scripts/chaos runs as many as asked.
if(QUIVER_SANITIZE)
    set(QUIVER_CHAOS_CASES 100 CACHE STRING "Random schedules run by CTest")
else()
    set(QUIVER_CHAOS_CASES 1500 CACHE STRING "Random schedules run by CTest")
endif()

add_executable(chaos_tests
    ${CMAKE_CURRENT_LIST_DIR}/chaos/chaos_gen.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chaos/test_random_schedules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/chaos/test_found_cases.cpp
)
target_compile_definitions(chaos_tests
    PRIVATE QUIVER_CHAOS_FOUND_CASES="${CMAKE_CURRENT_LIST_DIR}/chaos/cases")
target_link_libraries(chaos_tests PRIVATE quiver_chaos rapidcheck GTest::gtest GTest::gtest_main
                                          quiver_warnings)
# The cases are a fixed amount of work (about 25 s of one processor in the linux preset): on a
# loaded machine they take as long as the processor they get, so the limit is generous.
gtest_discover_tests(chaos_tests
    PROPERTIES LABELS chaos ENVIRONMENT "RC_PARAMS=max_success=${QUIVER_CHAOS_CASES}" TIMEOUT 1200
    DISCOVERY_TIMEOUT 60)
