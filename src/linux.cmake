# The seam on Linux (sysfs, SG_IO, the reboot service), and the SG_IO interposer that serves
# /dev/srN and /dev/sgN from an emulated PC.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    add_library(quiver_platform_linux STATIC ${CMAKE_CURRENT_LIST_DIR}/platform/linux/linux_platform.cpp)
    target_link_libraries(quiver_platform_linux PUBLIC quiver_platform PRIVATE quiver_warnings)

    # The interposer is preloaded into programs built without sanitizers (sg3_utils): it is left
    # out of sanitizer builds, whose flags it cannot carry into such a process.
    if(NOT QUIVER_SANITIZE)
        find_package(nlohmann_json 3 REQUIRED)
        # Built from the sources themselves: the static libraries are not position-independent.
        file(GLOB _sgio_sim_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/sim/*.cpp)
        add_library(quiver_sgio SHARED
            ${PROJECT_SOURCE_DIR}/tools/sgio_interposer/sgio_interposer.cpp
            ${CMAKE_CURRENT_LIST_DIR}/simapp/machine_file.cpp
            ${_sgio_sim_sources}
        )
        target_include_directories(quiver_sgio PRIVATE ${CMAKE_CURRENT_LIST_DIR})
        target_compile_options(quiver_sgio PRIVATE -U_FORTIFY_SOURCE -fvisibility=hidden)
        target_link_libraries(quiver_sgio PRIVATE nlohmann_json::nlohmann_json Threads::Threads
                                                  ${CMAKE_DL_LIBS} quiver_warnings)
        set_target_properties(quiver_sgio PROPERTIES
            OUTPUT_NAME quiver-sgio
            LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
    endif()
endif()
