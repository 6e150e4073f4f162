# The programs, run as a user runs them.
set(_expect ${CMAKE_CURRENT_SOURCE_DIR}/programs/expect.sh)

# The main job: the built-in demo PC is flashed and shows the new revision.
add_test(NAME quiver_sim_demo_flashes
         COMMAND bash ${_expect}
                 --has "^click cmdUpdate$"
                 --has "^scsi E 3B 05 01 00 00 00 00 00 00 A0 00 00 none 0 good$"
                 --has "^dialog information \"Information\" ok \"Firmware has been updated successfully !\"$"
                 --has "^label lblOldFW \"QM0F\"$"
                 --has "^list 0 \" 1-0-0-0 E:Korvane DVDRW KMR-730T   QM0F\"$"
                 --has "^restart flags=0x6 reason=0x0 accepted$"
                 --lacks "^scsi F 3B"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>)

# A drive whose every read-back differs: no program command, the failure message, the end.
add_test(NAME quiver_sim_readback_fails
         COMMAND bash ${_expect}
                 --has "^dialog error \"Error\" ok \"Unable to flash firmware. Please contact with your vendor !\"$"
                 --lacks " 3B 05 01 00 00 00 00 00 00 (80|A0) "
                 --lacks "^restart"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>
                    --machine ${PROJECT_SOURCE_DIR}/docs/machines/readback-fails.json)

# An updater packed by quiver-pack flashes the drives its constraints admit and no other: of
# D (QM01), E (QM03), F (QM0F) and G (another maker), only E is admitted.
set(_packdir ${CMAKE_CURRENT_BINARY_DIR}/programs)
add_test(NAME quiver_pack_updater_runs_in_quiver_sim
         COMMAND bash -c "set -e
             mkdir -p '${_packdir}'
             sed 's|@DEMO_IMAGE@|${CMAKE_BINARY_DIR}/generated/demo_image.bin|' \
                 '${CMAKE_CURRENT_SOURCE_DIR}/programs/admit-e-only.json' > '${_packdir}/admit-e-only.json'
             '$<TARGET_FILE:quiver-pack>' fill '${_packdir}/admit-e-only.json' \
                 '$<TARGET_FILE:quiver-sim>' -o '${_packdir}/packed-updater'
             bash '${_expect}' \
                 --has '^scsi E 3B 05 01 00 00 00 00 00 00 A0 00 00 none 0 good$' \
                 --lacks '^scsi [DFG] 3B' \
                 --has '^list 1 \" 1-0-0-0 E:Korvane DVDRW KMR-730T   QM0F\"$' \
                 --has 'Firmware has been updated successfully !' \
                 --lacks '^restart' \
                 --last '^end$' \
                 -- '$<TARGET_FILE:quiver-sim>' --package '${_packdir}/packed-updater' \
                    --machine '${PROJECT_SOURCE_DIR}/docs/machines/automode-three.json'")

# The drive behind E: is swapped for one the package does not admit between the scan and
# Update: it gets no WRITE BUFFER, and the update fails.
set(_failure "^dialog error \"Error\" ok \"Unable to flash firmware. Please contact with your vendor !\"$")
set(_program " 3B 05 01 00 00 00 00 00 00 (80|A0) ")
add_test(NAME quiver_sim_replaced_drive_is_not_written
         COMMAND bash ${_expect}
                 --has "^click cmdUpdate$"
                 --lacks "^scsi E 3B"
                 --has "${_failure}"
                 --lacks "^restart"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>
                    --machine ${PROJECT_SOURCE_DIR}/docs/machines/replaced-before-update.json)

# A short READ BUFFER in every attempt: no block verifies, no program command.
add_test(NAME quiver_sim_short_readback_is_no_verify
         COMMAND bash ${_expect}
                 --has "^scsi E 3C 01 01 00 00 00 00 40 00 00 00 00 in 16384 good$"
                 --lacks "${_program}"
                 --has "${_failure}"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>
                    --machine ${PROJECT_SOURCE_DIR}/docs/machines/short-readback.json)

# After the update the drive reports neither its old nor the new revision: the failure dialog.
add_test(NAME quiver_sim_third_revision_fails
         COMMAND bash ${_expect}
                 --count 1 "^scsi E${_program}"
                 --has "^list 0 \" 1-0-0-0 E:Korvane DVDRW KMR-730T   QM99\"$"
                 --has "${_failure}"
                 --lacks "Firmware has been updated successfully"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>
                    --machine ${PROJECT_SOURCE_DIR}/docs/machines/third-revision.json)

set_tests_properties(quiver_sim_demo_flashes quiver_sim_readback_fails
                     PROPERTIES LABELS app TIMEOUT 120)
set_tests_properties(quiver_sim_replaced_drive_is_not_written
                     quiver_sim_short_readback_is_no_verify quiver_sim_third_revision_fails
                     PROPERTIES LABELS "app;faults" TIMEOUT 120)
# One drive behind E: and G: in AUTOMODE: one image and one program command for it, as for F:.
add_test(NAME quiver_sim_two_letters_one_drive_flashed_once
         COMMAND bash -c "set -e
             mkdir -p '${_packdir}'
             sed 's|@DEMO_IMAGE@|${CMAKE_BINARY_DIR}/generated/demo_image.bin|' \
                 '${CMAKE_CURRENT_SOURCE_DIR}/programs/automode.json' > '${_packdir}/automode.json'
             '$<TARGET_FILE:quiver-pack>' fill '${_packdir}/automode.json' \
                 '$<TARGET_FILE:quiver-sim>' -o '${_packdir}/automode-updater'
             bash '${_expect}' \
                 --lacks '^list [0-9]+ .* G:' \
                 --count 1 '^scsi E 3B 05 01 00 00 00 00 40 00 00 00 00 out 16384 good$' \
                 --count 1 '^scsi E 3B 05 01 00 00 00 00 00 00 A0 00 00 none 0 good$' \
                 --count 1 '^scsi F 3B 05 01 00 00 00 00 00 00 A0 00 00 none 0 good$' \
                 --has 'Firmware has been updated successfully !' \
                 --last '^end$' \
                 -- '$<TARGET_FILE:quiver-sim>' --package '${_packdir}/automode-updater' \
                    --machine '${PROJECT_SOURCE_DIR}/docs/machines/two-letters-one-drive.json'")

set_tests_properties(quiver_pack_updater_runs_in_quiver_sim PROPERTIES LABELS "pack;app" TIMEOUT 120)
set_tests_properties(quiver_sim_two_letters_one_drive_flashed_once
                     PROPERTIES LABELS "pack;app;faults" TIMEOUT 120)

# While the demo PC's drive is flashed the system is held up, Ctrl+C refused and the drive
# locked; another updater on the machine keeps this one from touching any drive.
add_test(NAME quiver_sim_demo_holds_the_system_while_flashing
         COMMAND bash ${_expect}
                 --has "^mutex \"Global.+QuiverFirmwareUpdate\" created$"
                 --has "^execution-state 0x80000001$"
                 --has "^shutdown-block \".+\"$"
                 --has "^console-control-handler on$"
                 --has "^volume-lock E on$"
                 --has "^volume-lock E off$"
                 --has "^console-control-handler off$"
                 --has "^shutdown-block off$"
                 --has "^execution-state 0x80000000$"
                 --has "^mutex \"Global.+QuiverFirmwareUpdate\" closed$"
                 -- $<TARGET_FILE:quiver-sim>)
add_test(NAME quiver_sim_second_updater_ends
         COMMAND bash ${_expect}
                 --has "^mutex \"Global.+QuiverFirmwareUpdate\" exists$"
                 --has "^dialog error \"Error\" ok \"Another flash utility is already running on this computer"
                 --lacks "^scsi "
                 --lacks "^shown$"
                 --last "^end$"
                 -- $<TARGET_FILE:quiver-sim>
                    --machine ${PROJECT_SOURCE_DIR}/docs/machines/another-updater.json)
set_tests_properties(quiver_sim_demo_holds_the_system_while_flashing quiver_sim_second_updater_ends
                     PROPERTIES LABELS safety TIMEOUT 120)

# The command lines: --help and --version end with 0, wrong usage with 2 and its reason, each
# named option is checked as it was before the options were generated.
# quiver_command_test(NAME STATUS OUTPUT_REGEX PROGRAM ARGS...)
function(quiver_command_test name status regex program)
    add_test(NAME ${name}
             COMMAND bash -c "\"$0\" \"$@\" 2>&1; echo \"exit code $?\"" ${program} ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS app TIMEOUT 60
                         PASS_REGULAR_EXPRESSION "${regex}(.|\n)*exit code ${status}\n$")
endfunction()
set(_sim $<TARGET_FILE:quiver-sim>)
set(_pack $<TARGET_FILE:quiver-pack>)
quiver_command_test(quiver_sim_version 0 "^quiver-sim ${PROJECT_VERSION}\n" ${_sim} --version)
quiver_command_test(quiver_pack_version 0 "^quiver-pack ${PROJECT_VERSION}\n" ${_pack} --version)
quiver_command_test(quiver_sim_help 0 "Usage: quiver-sim \\[OPTIONS\\](.|\n)*--speed F\\|virtual"
                    ${_sim} --help)
quiver_command_test(quiver_pack_help 0 "fill(.|\n)*--in-place(.|\n)*show(.|\n)*--json"
                    ${_pack} --help)
quiver_command_test(quiver_sim_rejects_an_unknown_answer 2
                    "--answer: takes yes, no, ok or cancel, not \"maybe\"" ${_sim} --answer maybe)
quiver_command_test(quiver_sim_takes_one_answer_an_option 2 "not expected: no"
                    ${_sim} --answer yes no)
quiver_command_test(quiver_sim_rejects_a_list_index_past_15 2 "--choose" ${_sim} --choose 16)
quiver_command_test(quiver_sim_rejects_a_list_index_with_a_tail 2 "--choose" ${_sim} --choose 3x)
quiver_command_test(quiver_sim_rejects_a_speed_of_0 2 "--speed: takes a positive factor"
                    ${_sim} --speed 0)
quiver_command_test(quiver_sim_rejects_a_default_answer_of_ok 2 "--default-answer"
                    ${_sim} --default-answer ok)
quiver_command_test(quiver_sim_rejects_an_unknown_option 2 "--bogus" ${_sim} --bogus)
quiver_command_test(quiver_sim_rejects_a_missing_value 2 "--machine" ${_sim} --machine)
quiver_command_test(quiver_pack_needs_a_command 2 "quiver-pack: " ${_pack})
if(TARGET quiver AND NOT WIN32)
    quiver_command_test(quiver_version 0 "^quiver ${PROJECT_VERSION}\n" $<TARGET_FILE:quiver>
                        --version)
endif()
