# The version of the build machine's CLI11 (2.x on every supported system).
set(PACKAGE_VERSION 2.1.2)
if(PACKAGE_FIND_VERSION_MAJOR EQUAL 2)
    set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
