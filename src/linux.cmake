# The roles of the seam on Linux (drives from sysfs over SG_IO; the clock, collation and restart
# through the login manager) with the flash guards (a lock file, the
# login manager's inhibitor through sd-bus, exclusive opens), and the SG_IO interposer that
# serves /dev/srN and /dev/sgN from an emulated PC.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
    add_library(quiver_platform_linux STATIC
        ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_drives.cpp
        ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_system.cpp
        ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_flash_guards.cpp
        ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_termination.cpp
        ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_history_store.cpp)
    pkg_check_modules(LIBCAP REQUIRED IMPORTED_TARGET libcap)
    target_link_libraries(quiver_platform_linux PUBLIC quiver_platform
                                                PRIVATE PkgConfig::SYSTEMD PkgConfig::LIBCAP
                                                        quiver_warnings)

    # The Qt window toolkit, and quiver: the updater on Linux (Qt window, SG_IO). No moc: the
    # toolkit connects lambdas only.
    find_package(Qt6 REQUIRED COMPONENTS Widgets)
    add_library(quiver_ui_qt STATIC
        ${CMAKE_CURRENT_LIST_DIR}/ui/qt/qt_application.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ui/qt/qt_controls.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ui/qt/qt_form.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ui/qt/qt_painting.cpp)
    target_link_libraries(quiver_ui_qt PUBLIC quiver_ui Qt6::Widgets
                                       PRIVATE quiver_platform quiver_host quiver_warnings)

    add_executable(quiver ${CMAKE_CURRENT_LIST_DIR}/app/main_qt.cpp)
    target_link_libraries(quiver PRIVATE quiver_app quiver_ui_qt quiver_platform_linux
                                         quiver_command_line quiver_warnings)

    # quiver-demo: quiver packed with the demo manifest (the built-in KMR-730T package and the
    # demo image of the emulated drive), as quiver-pack packs any updater. The manifest names
    # the image of the linux preset; this build's own is put in its place.
    set(_demo_manifest_source ${PROJECT_SOURCE_DIR}/docs/manifests/kmr730t-demo.json)
    set(_demo_manifest ${CMAKE_BINARY_DIR}/generated/kmr730t-demo.json)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_demo_manifest_source})
    file(READ ${_demo_manifest_source} _demo_manifest_text)
    string(REPLACE "../../build/linux/generated/demo_image.bin"
                   "${CMAKE_BINARY_DIR}/generated/demo_image.bin"
                   _demo_manifest_text "${_demo_manifest_text}")
    file(GENERATE OUTPUT ${_demo_manifest} CONTENT "${_demo_manifest_text}")
    add_custom_command(
        OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/quiver-demo
        COMMAND quiver-pack fill ${_demo_manifest} $<TARGET_FILE:quiver>
                -o ${CMAKE_CURRENT_BINARY_DIR}/quiver-demo
        DEPENDS quiver quiver-pack ${_demo_manifest} ${CMAKE_BINARY_DIR}/generated/demo_image.bin
        COMMENT "Packing quiver-demo"
        VERBATIM)
    add_custom_target(quiver_demo ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/quiver-demo)
    add_dependencies(quiver_demo demo_image)

    # The interposer is preloaded into programs built without sanitizers (sg3_utils): it is left
    # out of sanitizer builds, whose flags it cannot carry into such a process.
    if(NOT QUIVER_SANITIZE)
        find_package(nlohmann_json 3 REQUIRED)
        # Built from the sources themselves: the static libraries are not position-independent.
        # It sees the headers of the libraries it is built from, as they do.
        file(GLOB _sgio_sim_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/sim/*.cpp
                                                      ${CMAKE_CURRENT_LIST_DIR}/formats/*.cpp)
        add_library(quiver_sgio SHARED
            ${PROJECT_SOURCE_DIR}/tools/sgio_interposer/sgio_interposer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file.cpp
            ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_read.cpp
            ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_values.cpp
            ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file_write.cpp
            ${CMAKE_CURRENT_LIST_DIR}/json/json_file.cpp
            ${_sgio_sim_sources}
        )
        foreach(_lib quiver_sim quiver_formats quiver_json quiver_machine_file)
            target_include_directories(quiver_sgio PRIVATE
                $<TARGET_PROPERTY:${_lib},INTERFACE_INCLUDE_DIRECTORIES>)
        endforeach()
        target_compile_options(quiver_sgio PRIVATE -U_FORTIFY_SOURCE -fvisibility=hidden)
        target_link_libraries(quiver_sgio PRIVATE nlohmann_json::nlohmann_json Threads::Threads
                                                  ${CMAKE_DL_LIBS} quiver_warnings)
        set_target_properties(quiver_sgio PROPERTIES
            OUTPUT_NAME quiver-sgio
            LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    endif()
endif()
