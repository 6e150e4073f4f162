# The package, the timer and the host services: pure logic over the platform seam.
add_library(quiver_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/package/package_block.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package/firmware_package.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package/match_drives.cpp
    ${CMAKE_CURRENT_LIST_DIR}/package/locate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/host/hi_timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/host/window_thread_queue.cpp
    ${CMAKE_CURRENT_LIST_DIR}/host/os_info.cpp
)
target_include_directories(quiver_core PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quiver_core PUBLIC quiver_platform Threads::Threads PRIVATE quiver_warnings)
