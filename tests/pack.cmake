# quiver-pack: its library, and the command run on updaters built here (an ELF program, and PE
# programs made with MinGW where it is installed).
set(_pack_dir ${CMAKE_CURRENT_LIST_DIR}/pack)

# The Linux updater stand-in: the package block and the flash profiles of this build.
add_executable(pack_fixture ${_pack_dir}/fixture_main.cpp)
target_compile_definitions(pack_fixture PRIVATE PACK_FIXTURE_PROFILES)
target_link_libraries(pack_fixture PRIVATE quiver_package quiver_flash_profiles quiver_warnings)

# The Windows ones, one per pointer width, with the same flash profiles and the resources of
# quiver.exe (its manifest, icon and version information).
quiver_windows_resource_script(_pack_rc pack_fixture DESCRIPTION "Quiver firmware updater" UPDATER)
if(QUIVER_FLASH_PROFILES)
    set(_pack_placeholders 0)
else()
    set(_pack_placeholders 1)
endif()
set(_pack_profiles_cpp ${CMAKE_BINARY_DIR}/generated/flash_profiles_data.cpp)
set(_pack_pe_fixtures "")
foreach(_target x86_64 i686)
    find_program(QUIVER_MINGW_${_target} ${_target}-w64-mingw32-g++-posix)
    find_program(QUIVER_WINDRES_${_target} ${_target}-w64-mingw32-windres)
    set(_exe ${CMAKE_CURRENT_BINARY_DIR}/pack_fixture_${_target}.exe)
    set(_res ${CMAKE_CURRENT_BINARY_DIR}/pack_fixture_${_target}.res.o)
    if(QUIVER_MINGW_${_target} AND QUIVER_WINDRES_${_target})
        add_custom_command(
            OUTPUT ${_exe}
            COMMAND ${QUIVER_WINDRES_${_target}} ${_pack_rc} -O coff -o ${_res}
            COMMAND ${QUIVER_MINGW_${_target}} -std=c++20 -Wall -Wextra -Werror
                    -I${PROJECT_SOURCE_DIR}/src -DPACK_FIXTURE_PROFILES
                    -DQUIVER_FLASH_PROFILES_PLACEHOLDERS=${_pack_placeholders}
                    ${_pack_dir}/fixture_main.cpp
                    ${PROJECT_SOURCE_DIR}/src/package/package_block.cpp
                    ${PROJECT_SOURCE_DIR}/src/flash/flash_profiles.cpp
                    ${_pack_profiles_cpp} ${_res} -o ${_exe}
            DEPENDS ${_pack_rc} ${_pack_rc_DEPENDS} ${_pack_dir}/fixture_main.cpp ${PROJECT_SOURCE_DIR}/src/package/package_block.cpp
                    ${PROJECT_SOURCE_DIR}/src/package/package_slots.h
                    ${PROJECT_SOURCE_DIR}/src/package/package_layout.h
                    ${PROJECT_SOURCE_DIR}/src/flash/flash_profiles.cpp quiver_flash_profiles
            COMMENT "Building the ${_target} Windows updater for the packaging tests"
            VERBATIM)
        list(APPEND _pack_pe_fixtures ${_exe})
    else()
        set(_exe "")
    endif()
    set(_pack_pe_${_target} "${_exe}")
endforeach()
add_custom_target(pack_pe_fixtures DEPENDS ${_pack_pe_fixtures})

file(GLOB PACK_TEST_SOURCES CONFIGURE_DEPENDS ${_pack_dir}/test_*.cpp)
quiver_test(pack_tests pack SOURCES ${PACK_TEST_SOURCES}
            LIBS quiver_pack_lib quiver_flash_profiles)
target_include_directories(pack_tests PRIVATE ${_pack_dir} ${CMAKE_CURRENT_LIST_DIR}/core)
target_compile_definitions(pack_tests PRIVATE
    PACK_TOOL="$<TARGET_FILE:quiver-pack>"
    PACK_FIXTURE_ELF="$<TARGET_FILE:pack_fixture>"
    PACK_FIXTURE_PE64="${_pack_pe_x86_64}"
    PACK_FIXTURE_PE32="${_pack_pe_i686}"
    PACK_DEMO_IMAGE_DIR="${CMAKE_BINARY_DIR}/generated"
    PACK_MANIFESTS_DIR="${PROJECT_SOURCE_DIR}/docs/manifests"
    PACK_PROJECT_VERSION="${PROJECT_VERSION}")
add_dependencies(pack_tests quiver-pack pack_fixture pack_pe_fixtures demo_image)
