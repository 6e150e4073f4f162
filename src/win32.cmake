# Windows only: the Win32 window toolkit, quiver.exe, and the build-time generators run as
# programs of the build machine.
if(WIN32)

# --- Generators -------------------------------------------------------------------------------
# tools/ builds the generators (gen_flash_profiles, gen_demo_image, gen_demo_package ...) for
# Windows like everything else, but their output is needed while building, on the build machine,
# where a Windows program may not run at all. When cross-compiling, the same
# sources are therefore also built natively, as a separate build of this tree in
# QUIVER_HOST_TOOLS_DIR (build/host-tools by default, shared by the 32- and 64-bit builds,
# which need the same twins), and each generator's CROSSCOMPILING_EMULATOR is pointed at its
# native twin (cmake/run-host-tool.sh runs the twin with the generator's arguments). The
# add_custom_command rules that name the generators stay as they are. quiver-pack is one of
# them: the tests fill quiver.exe with their packages at build time.
if(CMAKE_CROSSCOMPILING)
    include(ExternalProject)
    set(QUIVER_HOST_TOOLS gen_flash_profiles gen_demo_image gen_demo_package quiver-pack
        CACHE STRING "Generators that run on the build machine when cross-compiling")
    if(NOT "quiver-pack" IN_LIST QUIVER_HOST_TOOLS)
        # A build folder configured before the tests packed their updaters.
        set(QUIVER_HOST_TOOLS ${QUIVER_HOST_TOOLS} quiver-pack CACHE STRING
            "Generators that run on the build machine when cross-compiling" FORCE)
    endif()
    set(QUIVER_HOST_TOOLS_DIR ${PROJECT_SOURCE_DIR}/build/host-tools CACHE PATH
        "Where the generators are built for the build machine when cross-compiling")
    set(_host_outputs "")
    foreach(_tool IN LISTS QUIVER_HOST_TOOLS)
        list(APPEND _host_outputs ${QUIVER_HOST_TOOLS_DIR}/tools/${_tool})
    endforeach()
    string(REPLACE ";" "," _host_targets "${QUIVER_HOST_TOOLS}")
    ExternalProject_Add(quiver_host_tools
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${QUIVER_HOST_TOOLS_DIR}
        PREFIX ${CMAKE_BINARY_DIR}/host-tools-ep
        CMAKE_GENERATOR ${CMAKE_GENERATOR}
        # An empty toolchain: the build machine's own compilers.
        # -O2 as the Linux preset (GCC 12 at -O3 warns falsely (-Wrestrict) in std::string code
        # of quiver-pack), without debugging information: the twins only run.
        CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIVER_BUILD_TESTS=OFF
                   -DCMAKE_TOOLCHAIN_FILE= -DQUIVER_FLASH_PROFILES=${QUIVER_FLASH_PROFILES}
        CMAKE_CACHE_ARGS "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO:STRING=-O2 -DNDEBUG"
        BUILD_COMMAND ${CMAKE_COMMAND} -DBINARY_DIR=<BINARY_DIR> -DTARGETS=${_host_targets}
                      -P ${PROJECT_SOURCE_DIR}/cmake/build-host-tools.cmake
        BUILD_BYPRODUCTS ${_host_outputs}
        INSTALL_COMMAND ""
        # The sub-build decides itself whether anything changed.
        BUILD_ALWAYS ON
        USES_TERMINAL_BUILD ON)

    function(quiver_bind_host_tools)
        foreach(_tool IN LISTS QUIVER_HOST_TOOLS)
            if(TARGET ${_tool})
                set_target_properties(${_tool} PROPERTIES CROSSCOMPILING_EMULATOR
                    "sh;${PROJECT_SOURCE_DIR}/cmake/run-host-tool.sh;${QUIVER_HOST_TOOLS_DIR}/tools/${_tool}")
                add_dependencies(${_tool} quiver_host_tools)
            endif()
        endforeach()
    endfunction()
    # tools/ is read after src/: bind once the whole tree is known.
    cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL quiver_bind_host_tools)
endif()

# --- The Win32 toolkit --------------------------------------------------------------------------
add_library(quiver_ui_win32 STATIC
    ${CMAKE_CURRENT_LIST_DIR}/ui/win32/win32_application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/win32/win32_controls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/win32/win32_form.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ui/win32/win32_painting.cpp)
target_link_libraries(quiver_ui_win32 PUBLIC quiver_ui comctl32 gdi32 user32
                                      PRIVATE quiver_platform quiver_host quiver_warnings)

# --- quiver.exe ---------------------------------------------------------------------------------
add_executable(quiver WIN32 ${CMAKE_CURRENT_LIST_DIR}/app/main_win32.cpp)
target_link_libraries(quiver PRIVATE quiver_app quiver_ui_win32 quiver_platform_win32
                                     quiver_command_line quiver_warnings)
target_link_options(quiver PRIVATE -mwindows)
quiver_windows_resources(quiver DESCRIPTION "Quiver firmware updater" UPDATER)

endif()
