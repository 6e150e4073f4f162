# The release packages, made by `cmake --workflow --preset release` (cpack in this build), checked
# as a user meets them. Only the release test preset runs it.
if(NOT WIN32)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE _deb_arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    add_test(NAME release_packages_install_and_work
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/release/check_release.sh
                     ${CMAKE_BINARY_DIR}/quiver-sdk_${PROJECT_VERSION}_${_deb_arch}.deb
                     ${CMAKE_BINARY_DIR}/quiver-sdk-${PROJECT_VERSION}-windows.zip
                     ${PROJECT_VERSION})
    set_tests_properties(release_packages_install_and_work PROPERTIES LABELS release TIMEOUT 300)
endif()
