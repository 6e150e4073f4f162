# nlohmann_json for the MinGW builds: the build machine's headers, without the rest of its
# /usr/include, which must never reach the cross compiler.
if(NOT TARGET nlohmann_json::nlohmann_json)
    find_path(_quiver_nlohmann_header nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
              NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _quiver_nlohmann_header)
        set(nlohmann_json_FOUND FALSE)
        set(nlohmann_json_NOT_FOUND_MESSAGE "nlohmann/json.hpp not found in /usr/include")
        return()
    endif()
    set(_quiver_nlohmann_dir ${CMAKE_BINARY_DIR}/host-headers/nlohmann_json)
    file(MAKE_DIRECTORY ${_quiver_nlohmann_dir})
    file(CREATE_LINK ${_quiver_nlohmann_header}/nlohmann ${_quiver_nlohmann_dir}/nlohmann
         SYMBOLIC)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${_quiver_nlohmann_dir})
endif()
