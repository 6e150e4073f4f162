# Updates without a person: quiver-sim --unattended for each exit code, the events, the history
# and its damaged lines; quiver on Linux with no display behind the SG_IO interposer; quiver.exe
# under Wine on the emulated ASPI manager (tests/win32.cmake); the Ansible playbook of
# docs/fleet.md.
if(WIN32)
    return()  # the Windows build's own are in tests/win32.cmake
endif()
set(_run ${CMAKE_CURRENT_SOURCE_DIR}/unattended/expect_run.sh)
set(_sim $<TARGET_FILE:quiver-sim>)
set(_machines ${PROJECT_SOURCE_DIR}/docs/machines)
set(_work ${CMAKE_CURRENT_BINARY_DIR}/unattended)
file(MAKE_DIRECTORY ${_work})
# "Restart required": 3010, which a POSIX exit status carries as its low byte.
set(_restart_code 194)

# quiver_unattended_test(NAME ARGS...): a test of the label `unattended`.
function(quiver_unattended_test name)
    add_test(NAME ${name} COMMAND bash ${_run} ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS unattended TIMEOUT 120)
endfunction()

# The demo package asks for a restart: without --restart the run leaves it to its caller.
quiver_unattended_test(unattended_sim_restart_left_to_the_caller
    --status ${_restart_code}
    --has "^drive drive=E: address=1-0-0-0 vendor=Korvane product=\"DVDRW KMR-730T\" revision=QM01 admitted=yes$"
    --has "^drive drive=F: .* admitted=no why=\"the package admits no drive"
    --has "^dialog kind=warning caption=Warning text=\"This flash utility only supports .* answer=yes$"
    --has "^progress drive=E: address=1-0-0-0 stage=transfer attempt=1 percent=10$"
    --has "^progress drive=E: address=1-0-0-0 stage=transfer attempt=1 percent=100$"
    --has "^stage drive=E: address=1-0-0-0 stage=program attempt=0$"
    --has "^result drive=E: address=1-0-0-0 result=updated code=0 revisionBefore=QM01 revisionAfter=QM0F attempts=1$"
    --has "^restart requested=yes made=no$"
    --has "^exit code=${_restart_code}$"
    --history ${_work}/restart-left/history.jsonl --fresh --records 2
    --record "\"revisionAfter\": \"QM0F\".*\"state\": \"ended\".*\"updated\": true"
    --record "\"state\": \"programming\""
    -- ${_sim} --unattended --history-file ${_work}/restart-left/history.jsonl)

quiver_unattended_test(unattended_sim_restarts_when_allowed
    --status 0
    --has "^restart requested=yes made=yes$"
    --has "^exit code=0$"
    -- ${_sim} --unattended --restart)

# Every read-back differs: three passes, no programming, the record names the blocks.
quiver_unattended_test(unattended_sim_failed_drive
    --status 1
    --has "^verify-failed drive=E: address=1-0-0-0 attempt=3 block=63$"
    --has "^result drive=E: .* result=failed code=42 revisionBefore=QM01 revisionAfter=QM01 attempts=3$"
    --lacks "^stage .*stage=program"
    --history ${_work}/failed/history.jsonl --fresh --records 1
    --record "\"attempts\": 3, .*\"failedBlocks\": \\[\\[63\\], \\[63\\], \\[63\\]\\].*\"result\": 42"
    -- ${_sim} --unattended --machine ${_machines}/readback-fails.json
       --history-file ${_work}/failed/history.jsonl)

quiver_unattended_test(unattended_sim_bad_command_line
    --status 2 --has "--force, --drive, --log and --restart need --unattended"
    -- ${_sim} --force)

# A drive named that the package does not admit: nothing to do, nothing sent, nothing recorded.
quiver_unattended_test(unattended_sim_no_admitted_drive
    --status 3
    --has "^nothing-to-do why=\"no admitted drive is named\"$"
    --lacks "^stage "
    --history ${_work}/no-drive/history.jsonl --fresh --records 0
    -- ${_sim} --unattended --drive F --history-file ${_work}/no-drive/history.jsonl)

quiver_unattended_test(unattended_sim_another_update_running
    --status 5 --has "^dialog kind=error caption=Error text=\"Another flash utility"
    -- ${_sim} --unattended --machine ${_machines}/another-updater.json)

# A package that asks before updating a drive already at its new revision: the answer is No
# unless --force. The drives are named by letter and by address.
set(_packed ${_work}/up-to-date-updater)
add_custom_command(
    OUTPUT ${_packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_work}
    COMMAND sed "s|@DEMO_IMAGE@|${CMAKE_BINARY_DIR}/generated/demo_image.bin|"
            ${CMAKE_CURRENT_SOURCE_DIR}/unattended/up-to-date.json > ${_work}/up-to-date.json
    COMMAND quiver-pack fill ${_work}/up-to-date.json $<TARGET_FILE:quiver-sim> -o ${_packed}
    DEPENDS quiver-sim quiver-pack ${CMAKE_CURRENT_SOURCE_DIR}/unattended/up-to-date.json
            ${CMAKE_BINARY_DIR}/generated/demo_image.bin
    COMMENT "Packing an updater that asks about up-to-date drives"
    VERBATIM)
add_custom_target(unattended_packages ALL DEPENDS ${_packed})
quiver_unattended_test(unattended_sim_every_drive_up_to_date
    --status 4
    --has "^dialog kind=warning caption=Warning text=\"Your drive's Firmware is already the most updated !\\\\n Do you wish to continue \\?\" answer=no$"
    --has "^skipped drive=F: address=.* revision=QM0F why=\"already up to date\"$"
    --lacks "^stage "
    -- ${_packed} --unattended --package ${_packed} --machine ${_machines}/automode-three.json
       --drive F:)
quiver_unattended_test(unattended_sim_force_updates_an_up_to_date_drive
    --status 0
    --has "^dialog kind=warning .*already the most updated.* answer=yes$"
    --has "^result drive=F: .*result=updated code=0 revisionBefore=QM0F revisionAfter=QM0F"
    --lacks "^result drive=[DE]:"
    -- ${_packed} --unattended --force --package ${_packed}
       --machine ${_machines}/automode-three.json --drive F)
quiver_unattended_test(unattended_sim_named_drives_only
    --status 0
    --has "^result drive=D: .*result=updated"
    --has "^skipped drive=F:"
    --lacks "^result drive=E:"
    -- ${_packed} --unattended --package ${_packed} --machine ${_machines}/automode-three.json
       --drive 0-0-0-0 --drive d --drive f)

# --json: every line is one JSON object, and each kind of event comes.
add_test(NAME unattended_sim_json_events
         COMMAND bash -c "set -o pipefail; '${_sim}' --unattended --json | python3 -c '
import json, sys
events = [json.loads(line) for line in sys.stdin]
kinds = {e[\"event\"] for e in events}
missing = {\"drive\", \"dialog\", \"stage\", \"progress\", \"result\", \"restart\", \"exit\"} - kinds
assert not missing, missing
assert events[-1] == {\"event\": \"exit\", \"code\": ${_restart_code}}, events[-1]
assert [e[\"percent\"] for e in events if e[\"event\"] == \"progress\"] == list(range(10, 101, 10))
print(\"ok\")'; test $? -eq 0")
set_tests_properties(unattended_sim_json_events PROPERTIES LABELS unattended TIMEOUT 120
                     PASS_REGULAR_EXPRESSION "^ok\n$")

# A damaged line (a torn write, an edit) hides none of the others: the new update is added,
# --history shows both updates and names the damaged line, --json gives the sound lines.
set(_damaged ${_work}/damaged/history.jsonl)
add_test(NAME unattended_sim_history_keeps_the_rest_past_a_damaged_line
         COMMAND bash -c "set -e
             rm -rf '${_work}/damaged' && mkdir -p '${_work}/damaged'
             '${_sim}' --unattended --restart --history-file '${_damaged}' >/dev/null
             printf '{\"update\": \"torn' >> '${_damaged}'
             printf '\\n' >> '${_damaged}'
             '${_sim}' --unattended --restart --history-file '${_damaged}' >/dev/null
             echo text; '${_sim}' --history --history-file '${_damaged}' 2>&1
             echo json; '${_sim}' --history --json --history-file '${_damaged}' 2>/dev/null | wc -l")
set_tests_properties(unattended_sim_history_keeps_the_rest_past_a_damaged_line PROPERTIES
    LABELS unattended TIMEOUT 120
    PASS_REGULAR_EXPRESSION
    "^text\n[^\n]*:3: not a history record, passed over\n[^\n]* 1-0-0-0 E:  Korvane DVDRW KMR-730T  QM01 -> QM0F  updated \\(code 0\\), attempts 1\n[^\n]* 1-0-0-0 E:  Korvane DVDRW KMR-730T  QM01 -> QM0F  updated \\(code 0\\), attempts 1\njson\n4\n$")

# quiver on Linux without a display, and the Ansible playbook, on the interposer's drives.
if(TARGET quiver AND TARGET quiver_sgio AND NOT WIN32)
    foreach(_mode quiver ansible)
        set(_name unattended_linux_${_mode})
        if(_mode STREQUAL "ansible")
            set(_name unattended_ansible_playbook)
        endif()
        add_test(NAME ${_name}
                 COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/unattended/linux_unattended.sh ${_mode}
                         $<TARGET_FILE:quiver-pack> $<TARGET_FILE:quiver>
                         ${CMAKE_BINARY_DIR}/generated/demo_image.bin
                         ${CMAKE_BINARY_DIR}/lib/libquiver-sgio.so
                         ${CMAKE_CURRENT_SOURCE_DIR}/linux/quiver-end-to-end.json
                         ${PROJECT_SOURCE_DIR}/docs/fleet-playbook.yml)
        set_tests_properties(${_name} PROPERTIES LABELS unattended TIMEOUT 300
                                                 SKIP_RETURN_CODE 77)
    endforeach()
endif()
