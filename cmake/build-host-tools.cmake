# Builds the generators' build-machine twins in their folder, which both Windows builds share:
#   cmake -DBINARY_DIR=DIR -DTARGETS=a,b,c -P build-host-tools.cmake
# One build at a time holds the folder, so that two Windows builds started together wait for
# each other instead of running two builds in one tree.
file(LOCK "${BINARY_DIR}/quiver-host-tools.lock" GUARD PROCESS TIMEOUT 3600
     RESULT_VARIABLE _locked)
if(NOT _locked STREQUAL "0")
    message(FATAL_ERROR "cannot lock ${BINARY_DIR} for the build machine's tools: ${_locked}")
endif()
string(REPLACE "," ";" _targets "${TARGETS}")
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} --target ${_targets}
                RESULT_VARIABLE _built)
if(NOT _built EQUAL 0)
    message(FATAL_ERROR "building the build machine's tools in ${BINARY_DIR} failed")
endif()
