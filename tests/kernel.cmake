# The real-kernel test (label kernel): Debian's kernel booted once under QEMU (TCG) with QEMU's
# own optical drives, a scsi-cd on virtio-scsi and an ide-cd on the PIIX IDE. The guest runs the
# probe (tests/kernel/kernel_probe.cpp) and the updater as root and as an unprivileged user with
# less and less access, from the host's root shared read-only; kernel_boot does that once and
# the other tests check what it left. Builds with sanitizers leave it out: what it checks is the
# kernel's answer, which instrumentation does not change, and a sanitized program in the
# emulated guest is slower still (docs/linux.md).
# The build fetches the kernel with apt-get (network); QUIVER_KERNEL_TEST=OFF leaves the test
# out of a build that has none.
option(QUIVER_KERNEL_TEST "Build the real-kernel test (fetches Debian's kernel with apt-get)" ON)
if(QUIVER_KERNEL_TEST AND CMAKE_SYSTEM_NAME STREQUAL "Linux"
   AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND TARGET quiver_qt_driver)
    set(_kernel_src ${CMAKE_CURRENT_LIST_DIR}/kernel)
    add_executable(quiver_kernel_probe ${_kernel_src}/kernel_probe.cpp)
    target_link_libraries(quiver_kernel_probe PRIVATE quiver_app quiver_platform_linux
                                                      quiver_device quiver_warnings)
    set_target_properties(quiver_kernel_probe PROPERTIES OUTPUT_NAME quiver-kernel-probe)

    # The kernel, fetched once into the build tree (apt-get download; scripts/fetch-kernel
    # does nothing while the cache is whole), and the initramfs made from its modules.
    set(_kernel_dir ${CMAKE_BINARY_DIR}/kernel)
    add_custom_command(
        OUTPUT ${_kernel_dir}/release
        COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/fetch-kernel ${_kernel_dir}
                ${_kernel_src}/modules.txt
        DEPENDS ${PROJECT_SOURCE_DIR}/scripts/fetch-kernel ${_kernel_src}/modules.txt
        COMMENT "Fetching the test guest's kernel"
        VERBATIM)
    add_custom_command(
        OUTPUT ${_kernel_dir}/initramfs.cpio.gz
        COMMAND bash ${_kernel_src}/make-initramfs ${_kernel_dir}/initramfs.cpio.gz ${_kernel_dir}
                ${_kernel_src}/init ${_kernel_src}/modules.txt
        DEPENDS ${_kernel_dir}/release ${_kernel_src}/make-initramfs ${_kernel_src}/init
                ${_kernel_src}/modules.txt
        COMMENT "Making the test guest's initramfs"
        VERBATIM)

    # The updater, packed for QEMU's scsi-cd (any revision) with the demo image. Beside the
    # kernel's directory, not in it: scripts/fetch-kernel replaces that one whole.
    set(_updater_dir ${CMAKE_BINARY_DIR}/kernel-updater)
    file(READ ${_kernel_src}/quiver-qemu.json _kernel_manifest)
    string(REPLACE "@DEMO_IMAGE@" "${CMAKE_BINARY_DIR}/generated/demo_image.bin"
                   _kernel_manifest "${_kernel_manifest}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kernel_src}/quiver-qemu.json)
    file(GENERATE OUTPUT ${_updater_dir}/quiver-qemu.json CONTENT "${_kernel_manifest}")
    add_custom_command(
        OUTPUT ${_updater_dir}/quiver-qemu
        COMMAND quiver-pack fill ${_updater_dir}/quiver-qemu.json $<TARGET_FILE:quiver>
                -o ${_updater_dir}/quiver-qemu
        DEPENDS quiver quiver-pack ${_updater_dir}/quiver-qemu.json
                ${CMAKE_BINARY_DIR}/generated/demo_image.bin
        COMMENT "Packing the updater for QEMU's drive"
        VERBATIM)
    add_custom_target(kernel_guest ALL
        DEPENDS ${_kernel_dir}/initramfs.cpio.gz ${_updater_dir}/quiver-qemu)
    add_dependencies(kernel_guest demo_image quiver_kernel_probe quiver_qt_driver)

    set(_kernel_results ${CMAKE_BINARY_DIR}/kernel-results)
    add_test(NAME kernel_boot
             COMMAND bash ${_kernel_src}/boot.sh ${_kernel_dir} ${_kernel_dir}/initramfs.cpio.gz
                     ${_kernel_results} ${_kernel_src}/guest_run.sh
                     $<TARGET_FILE:quiver_kernel_probe> ${_updater_dir}/quiver-qemu
                     $<TARGET_FILE:quiver_qt_driver>)
    set_tests_properties(kernel_boot PROPERTIES LABELS kernel TIMEOUT 600 SKIP_RETURN_CODE 77
                                                FIXTURES_SETUP kernel_guest)
    foreach(_case root readonly sgwrite noaccess)
        add_test(NAME kernel_${_case}
                 COMMAND bash ${_kernel_src}/check.sh ${_kernel_results} ${_case})
        set_tests_properties(kernel_${_case} PROPERTIES LABELS kernel TIMEOUT 30
                             SKIP_RETURN_CODE 77 FIXTURES_REQUIRED kernel_guest)
    endforeach()
endif()
