# The resources of the Windows programs: an application manifest, the version information and,
# for the updater, the icon and the strings that name its package.
#
#   quiver_windows_resources(TARGET DESCRIPTION TEXT [UPDATER])
#
# adds them to a Windows program's target (windres compiles them).
#
# Every program gets a manifest that names the supported systems and its execution level, and
# version information with the project's version. UPDATER (quiver.exe) asks for administrator
# rights (the SCSI pass-through and the ASPI manager need them) and carries the icon and four
# strings of fixed size that quiver-pack rewrites in place when it fills the package:
# FileDescription, PackageTitle, DriveName and FirmwareVersion. Until then they hold the texts
# below, padded with blanks to their size.
set(QUIVER_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR})

# _quiver_padded(VAR TEXT CHARACTERS): TEXT padded with blanks to CHARACTERS characters.
function(_quiver_padded var text characters)
    string(LENGTH "${text}" _length)
    math(EXPR _pad "${characters} - ${_length}")
    string(REPEAT " " ${_pad} _blanks)
    set(${var} "${text}${_blanks}" PARENT_SCOPE)
endfunction()

# quiver_windows_resource_script(VAR NAME DESCRIPTION TEXT [UPDATER]): writes the resource script
# (and the manifest it names) of the program NAME.exe into the build folder; VAR is set to the
# script's path, and VAR_DEPENDS to the files it reads.
function(quiver_windows_resource_script var name)
    cmake_parse_arguments(R "UPDATER" "DESCRIPTION" "" ${ARGN})
    set(QUIVER_RC_NAME ${name})
    set(QUIVER_RC_FILENAME ${name}.exe)
    set(QUIVER_RC_VERSION_DOTTED
        "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
    set(_out ${CMAKE_CURRENT_BINARY_DIR}/resources/${name})
    set(QUIVER_RC_MANIFEST ${_out}/${name}.exe.manifest)
    set(_depends ${QUIVER_RC_MANIFEST})
    if(R_UPDATER)
        set(QUIVER_RC_EXECUTION_LEVEL requireAdministrator)
        set(_icon ${PROJECT_SOURCE_DIR}/src/app/resources/quiver.ico)
        set(QUIVER_RC_ICON "1 ICON \"${_icon}\"")
        list(APPEND _depends ${_icon})
        # The sizes hold the longest texts quiver-pack writes: a title of 63 characters, a drive
        # name of 64, four new revisions of 7 with their separators, and the description made
        # of the last two.
        _quiver_padded(QUIVER_RC_DESCRIPTION "${R_DESCRIPTION} (not filled)" 127)
        _quiver_padded(_title "(not filled)" 63)
        _quiver_padded(_drive "(not filled)" 64)
        _quiver_padded(_firmware "(not filled)" 34)
        set(QUIVER_RC_PACKAGE_STRINGS
            "      VALUE \"PackageTitle\", \"${_title}\"\n      VALUE \"DriveName\", \"${_drive}\"\n      VALUE \"FirmwareVersion\", \"${_firmware}\"")
    else()
        set(QUIVER_RC_EXECUTION_LEVEL asInvoker)
        set(QUIVER_RC_ICON "")
        set(QUIVER_RC_DESCRIPTION "${R_DESCRIPTION}")
        set(QUIVER_RC_PACKAGE_STRINGS "")
    endif()
    configure_file(${QUIVER_RESOURCES_DIR}/program.manifest.in ${QUIVER_RC_MANIFEST} @ONLY)
    configure_file(${QUIVER_RESOURCES_DIR}/program.rc.in ${_out}/${name}.rc @ONLY)
    set(${var} ${_out}/${name}.rc PARENT_SCOPE)
    set(${var}_DEPENDS ${_depends} PARENT_SCOPE)
endfunction()

function(quiver_windows_resources target)
    get_target_property(_name ${target} OUTPUT_NAME)
    if(NOT _name)
        set(_name ${target})
    endif()
    quiver_windows_resource_script(_script ${_name} ${ARGN})
    target_sources(${target} PRIVATE ${_script})
    set_source_files_properties(${_script} PROPERTIES OBJECT_DEPENDS "${_script_DEPENDS}")
endfunction()
