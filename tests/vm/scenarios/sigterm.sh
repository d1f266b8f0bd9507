# shellcheck shell=sh
# SIGTERM while a client is connected. The helper ends and what it
# published goes with it: the client's link drops, nothing listens on the
# channel any more, and the record is gone over the air. It is expected to
# end as it does on "shutdown": the client's disconnect reported, then
# "stopping" with "received SIGTERM" as its last line, exit status 0 and
# nothing on standard error.

connected=$(event client-connected "Incoming RFCOMM client connected on channel 1")
disconnected=$(event client-disconnected "RFCOMM client disconnected from channel 1")
stopping=$(event stopping "received SIGTERM")
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

pair_afresh 1 || vm_fail "hci0 could not forget and meet hci1 again"
vm_wait 10 rfcomm_not_listening 1 || vm_fail "something listens on RFCOMM channel 1 already"
helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening 1 || vm_fail "bluetoothd never listened on RFCOMM channel 1"
client_start phone 4 "$ADDR1"
expect_line "$connected" 20
client_send 4 '{"type":"hello"}'
client_output_is phone /tmp/expected.ack

helper_signal TERM || vm_fail "cannot send SIGTERM to the helper"
status=$(process_exit helper 15) || vm_fail "the helper still runs 15 s after SIGTERM"
exec 3>&-
client_status=$(process_exit phone 15) || vm_fail "the client's link outlived the helper"
[ "$client_status" = 0 ] || vm_fail "the client exited with $client_status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.phone.err" ||
  vm_fail "the client did not lose its link to the helper"
exec 4>&-
vm_wait 10 rfcomm_not_listening 1 || vm_fail "bluetoothd still listens on channel 1 after SIGTERM"
sdp_browse withdrawn
[ -s "/out/$SCENARIO.withdrawn.record.txt" ] && vm_fail "the record is still listed after SIGTERM"

# What the parent read.
ended="exit status $status"
[ "$status" -gt 128 ] && ended="$ended (killed by signal $((status - 128)))"
last=$(tail -n 1 "$HELPER_OUT")
seen="$ended, last line ${last:-(none)}"
[ -n "$(line_number "$disconnected")" ] ||
  vm_fail "expected $disconnected after SIGTERM; saw $seen"
[ "$last" = "$stopping" ] || vm_fail "expected $stopping as the last line; saw $seen"
[ "$status" = 0 ] || vm_fail "expected exit status 0 after SIGTERM; saw $seen"
[ ! -s "/out/$SCENARIO.helper.err" ] ||
  vm_fail "the helper wrote to standard error: $(cat "/out/$SCENARIO.helper.err")"
[ "$(line_count "$connected")" = 1 ] || vm_fail "more than one client was reported"
echo "sigterm scenario passed"
