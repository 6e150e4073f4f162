# Installation and the release packages.
#
# A Windows build installs its programs (components windows_updater: quiver.exe, and
# windows_tools: quiver-pack.exe, quiver-sim.exe), for the Linux build to collect. A Linux build
# installs quiver-pack and quiver-sim, the unfilled Linux updater as a template, their manual
# pages, the documentation and the demo package (component sdk), and collects the Windows
# programs of both Windows builds (target windows_programs): CPack makes the Debian package
# quiver-sdk of the first, with the unfilled quiver.exe of both widths, and the zip for Windows
# vendors (component windows). `cmake --workflow --preset release` does all of it.
#
# The install rules name the program targets only. Stripping happens while packaging (CPack for
# the Linux programs, each Windows build's own strip for its programs).

if(WIN32)
    install(TARGETS quiver RUNTIME DESTINATION . COMPONENT windows_updater)
    install(TARGETS quiver-pack quiver-sim RUNTIME DESTINATION . COMPONENT windows_tools)
    return()
endif()

set(QUIVER_RELEASE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QUIVER_PACKAGE_CONTACT "The Quiver developers <quiver@example.org>" CACHE STRING
    "The maintainer named in the Debian package")

# --- The Linux programs, their manual pages and the documentation (the Debian package) -------
install(TARGETS quiver-pack quiver-sim RUNTIME DESTINATION bin COMPONENT sdk)
install(TARGETS quiver RUNTIME DESTINATION lib/quiver COMPONENT sdk)

find_program(QUIVER_HELP2MAN help2man)
if(QUIVER_HELP2MAN)
    # Made from each program's --help and --version, so that they say what the program does.
    set(_man_pages "")
    set(_what_quiver-pack "fill and show the firmware package of a Quiver updater")
    set(_what_quiver-sim "run a Quiver updater on an emulated PC")
    foreach(_program quiver-pack quiver-sim)
        set(_page ${CMAKE_BINARY_DIR}/man/${_program}.1)
        add_custom_command(
            OUTPUT ${_page}.gz
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND ${QUIVER_HELP2MAN} --no-info --section=1 "--name=${_what_${_program}}"
                    --output=${_page} $<TARGET_FILE:${_program}>
            COMMAND gzip -9nf ${_page}
            DEPENDS ${_program}
            COMMENT "Writing the manual page of ${_program}"
            VERBATIM)
        list(APPEND _man_pages ${_page}.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${_man_pages})
    install(FILES ${_man_pages} DESTINATION share/man/man1 COMPONENT sdk)
else()
    message(STATUS "help2man not found: no manual pages (scripts/install-deps installs it)")
endif()

set(_docs README.md docs/packaging.md docs/quiver-sim.md docs/emulated-pc.md docs/linux.md
          docs/windows.md)
list(TRANSFORM _docs PREPEND ${PROJECT_SOURCE_DIR}/)
install(FILES ${_docs} DESTINATION share/doc/quiver-sdk COMPONENT sdk)
install(FILES ${QUIVER_RELEASE_DIR}/copyright DESTINATION share/doc/quiver-sdk COMPONENT sdk)
# Dated when configured, or at SOURCE_DATE_EPOCH when that is set.
string(TIMESTAMP QUIVER_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${QUIVER_RELEASE_DIR}/changelog.in ${CMAKE_BINARY_DIR}/release/changelog @ONLY)
add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/release/changelog.gz
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/release/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/release/changelog
    VERBATIM)
add_custom_target(release_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/release/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/release/changelog.gz DESTINATION share/doc/quiver-sdk
        COMPONENT sdk)

# The demo package, to rehearse with quiver-sim: the demo manifest naming the demo image beside
# it, and the emulated PCs of the examples.
set(_demo ${CMAKE_BINARY_DIR}/release/demo)
file(READ ${PROJECT_SOURCE_DIR}/docs/manifests/kmr730t-demo.json _demo_manifest)
string(REPLACE "../../build/linux/generated/demo_image.bin" "demo_image.bin" _demo_manifest
               "${_demo_manifest}")
file(GENERATE OUTPUT ${_demo}/kmr730t-demo.json CONTENT "${_demo_manifest}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/docs/manifests/kmr730t-demo.json)
file(GLOB _machines CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/machines/*.json)
foreach(_component sdk windows)
    if(_component STREQUAL "sdk")
        set(_to share/quiver)
    else()
        set(_to .)
    endif()
    install(FILES ${_demo}/kmr730t-demo.json ${CMAKE_BINARY_DIR}/generated/demo_image.bin
            DESTINATION ${_to}/demo COMPONENT ${_component})
    install(FILES ${_machines} DESTINATION ${_to}/machines COMPONENT ${_component})
endforeach()

# --- The Windows programs, from the Windows builds ----------------------------------------------
# Each Windows build folder is configured (the first time with its toolchain) and built for the
# programs only, then its programs are installed stripped into a stage folder of this build. The
# folders of the windows-x64 and windows-x86 presets by default: where those presets have built
# already, nothing is built again.
set(QUIVER_WINDOWS_X64_BUILD ${PROJECT_SOURCE_DIR}/build/windows-x64 CACHE PATH
    "The 64-bit Windows build whose programs the release packages take")
set(QUIVER_WINDOWS_X86_BUILD ${PROJECT_SOURCE_DIR}/build/windows-x86 CACHE PATH
    "The 32-bit Windows build whose quiver.exe the release packages take")
set(_stage ${CMAKE_BINARY_DIR}/release/windows)
set(_windows_commands "")
foreach(_width x64 x86)
    if(_width STREQUAL "x64")
        set(_dir ${QUIVER_WINDOWS_X64_BUILD})
        set(_toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake)
        set(_targets quiver quiver-pack quiver-sim)
        set(_components windows_updater windows_tools)
    else()
        set(_dir ${QUIVER_WINDOWS_X86_BUILD})
        set(_toolchain ${PROJECT_SOURCE_DIR}/cmake/mingw-w64-i686.cmake)
        set(_targets quiver)
        set(_components windows_updater)
    endif()
    list(APPEND _windows_commands
         COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR} -B ${_dir} -G ${CMAKE_GENERATOR}
                 --toolchain ${_toolchain} -DCMAKE_BUILD_TYPE=RelWithDebInfo
                 -DQUIVER_FLASH_PROFILES=${QUIVER_FLASH_PROFILES}
         COMMAND ${CMAKE_COMMAND} --build ${_dir} --target ${_targets})
    foreach(_component IN LISTS _components)
        list(APPEND _windows_commands
             COMMAND ${CMAKE_COMMAND} --install ${_dir} --strip --component ${_component}
                     --prefix ${_stage}/${_width})
    endforeach()
endforeach()
add_custom_target(windows_programs
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_stage}
    ${_windows_commands}
    COMMENT "Building and collecting the Windows programs"
    USES_TERMINAL
    VERBATIM)

# The Debian package carries the unfilled quiver.exe of both widths as templates (not to be run
# here, so not executable); the zip carries them, quiver-pack.exe and quiver-sim.exe.
set(_read_only OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
foreach(_width x64 x86)
    install(FILES ${_stage}/${_width}/quiver.exe DESTINATION lib/quiver/windows-${_width}
            PERMISSIONS ${_read_only} COMPONENT sdk)
    install(FILES ${_stage}/${_width}/quiver.exe DESTINATION windows-${_width} COMPONENT windows)
endforeach()
install(FILES ${_stage}/x64/quiver-pack.exe ${_stage}/x64/quiver-sim.exe DESTINATION .
        COMPONENT windows)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .
        COMPONENT windows)
list(FILTER _docs EXCLUDE REGEX "README.md$")
install(FILES ${_docs} DESTINATION docs COMPONENT windows)

# --- CPack: the Debian package and the zip ------------------------------------------------------
set(CPACK_PACKAGE_NAME quiver-sdk)
set(CPACK_PACKAGE_VENDOR "The Quiver developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUIVER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater kit for the Korvane DVDRW KMR-730T")
set(CPACK_PACKAGE_DESCRIPTION
    "Quiver rewrites the firmware of the Korvane DVDRW KMR-730T optical drive
over SCSI commands. This kit holds what a vendor needs to build and rehearse
an updater: quiver-pack, which fills the firmware package of a built updater
from a manifest; quiver-sim, which runs an updater on an emulated PC; and the
unfilled updaters for Linux (Qt) and for 32- and 64-bit Windows, as templates
in /usr/lib/quiver.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB ZIP)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Each generator takes its own component: the Debian package the sdk, the zip the windows.
configure_file(${QUIVER_RELEASE_DIR}/cpack-generators.cmake.in
               ${CMAKE_BINARY_DIR}/release/cpack-generators.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/release/cpack-generators.cmake)
include(CPack)
