# CLI11 for the MinGW builds: the build machine's headers, without the rest of its /usr/include,
# which must never reach the cross compiler.
if(NOT TARGET CLI11::CLI11)
    find_path(_quiver_cli11_header CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _quiver_cli11_header)
        set(CLI11_FOUND FALSE)
        set(CLI11_NOT_FOUND_MESSAGE "CLI/CLI.hpp not found in /usr/include")
        return()
    endif()
    set(_quiver_cli11_dir ${CMAKE_BINARY_DIR}/host-headers/CLI11)
    file(MAKE_DIRECTORY ${_quiver_cli11_dir})
    file(CREATE_LINK ${_quiver_cli11_header}/CLI ${_quiver_cli11_dir}/CLI SYMBOLIC)
    add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
    set_target_properties(CLI11::CLI11 PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${_quiver_cli11_dir})
endif()
