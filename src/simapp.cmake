# quiver-sim's library: machine files, the transcript and the demo package. The demo package
# block is made at build time by tools/gen_demo_package and embedded here.
find_package(nlohmann_json 3 REQUIRED)

set(_simapp_generated ${CMAKE_BINARY_DIR}/generated)
add_custom_command(
    OUTPUT ${_simapp_generated}/demo_package.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_simapp_generated}
    COMMAND gen_demo_package ${_simapp_generated}/demo_package.bin
    DEPENDS gen_demo_package
    COMMENT "Generating the demo firmware package"
    VERBATIM)
add_custom_command(
    OUTPUT ${_simapp_generated}/demo_package_data.cpp
    COMMAND ${CMAKE_COMMAND} -DINPUT=${_simapp_generated}/demo_package.bin
            -DOUTPUT=${_simapp_generated}/demo_package_data.cpp
            -DNAMESPACE=quiver::simapp::detail -DNAME=kDemoPackageData -DSIZE=1050708
            -P ${PROJECT_SOURCE_DIR}/tools/embed_bin.cmake
    DEPENDS ${_simapp_generated}/demo_package.bin ${PROJECT_SOURCE_DIR}/tools/embed_bin.cmake
    COMMENT "Embedding the demo firmware package"
    VERBATIM)

# Machine files on their own: the emulated machine and the JSON reader, nothing of the program,
# so that a test-only ASPI manager library can load the same descriptions.
add_library(quiver_machine_file STATIC
    ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_read.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_values.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_write.cpp)
quiver_headers(quiver_machine_file simapp simapp)
target_link_libraries(quiver_machine_file PUBLIC quiver_sim quiver_json nlohmann_json::nlohmann_json
                                          PRIVATE quiver_formats quiver_warnings)

add_library(quiver_simapp STATIC
    ${CMAKE_CURRENT_LIST_DIR}/simapp/package_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/simapp/transcript.cpp
    ${_simapp_generated}/demo_package_data.cpp
)
target_link_libraries(quiver_simapp
    PUBLIC quiver_machine_file quiver_platform_sim quiver_package nlohmann_json::nlohmann_json
    PRIVATE quiver_warnings)
