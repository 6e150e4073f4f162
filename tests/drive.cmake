# The drive object, its transport and discovery, the command set, the download and the flashing
# worker, all on the emulated machine.
quiver_test(drive_tests core
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/device/test_transport.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/test_drive_object.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/test_discovery.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/test_block_source.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/test_commands.cpp
        ${CMAKE_CURRENT_LIST_DIR}/device/test_native_drives.cpp
        ${CMAKE_CURRENT_LIST_DIR}/flash/test_download.cpp
        ${CMAKE_CURRENT_LIST_DIR}/flash/test_flash_tables.cpp
        ${CMAKE_CURRENT_LIST_DIR}/worker/test_worker.cpp
        ${CMAKE_CURRENT_LIST_DIR}/worker/test_dispose.cpp
    LIBS quiver_worker quiver_flash quiver_device quiver_package quiver_formats
        quiver_platform_sim
)
target_include_directories(drive_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/device
                                               ${CMAKE_CURRENT_LIST_DIR}/core)
