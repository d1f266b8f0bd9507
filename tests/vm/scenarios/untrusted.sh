# shellcheck shell=sh
# An untrusted device: bluetoothd refuses its connection (no agent to ask),
# the client's connect fails, and the parent never hears of a client.
# Runs before anything trusts hci1.

helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"

client_start intruder 4 "$ADDR1"
exec 4>&-
status=$(process_exit intruder 20) || vm_fail "the untrusted client never ended"
[ "$status" = 2 ] || vm_fail "the untrusted client exited with $status, not a failed connect"
grep -q 'connect: ' "/out/$SCENARIO.intruder.err" || vm_fail "the client did not report its connect failure"
# bluetoothd's own verdict, then a ping through the helper: anything the
# refused connection caused has reached the parent before the pong.
vm_wait 10 grep -qF "Harlo Unicode Companion rejected $ADDR1" /out/bluetoothd.log ||
  vm_fail "bluetoothd did not log the refusal"
parent_send '{"kind":"command","command":"ping","detail":"after the intruder","version":1}'
expect_line "$(event pong "after the intruder")"
[ "$(line_count "$(event client-connected "Incoming RFCOMM client connected on channel 1")")" = 0 ] ||
  vm_fail "the helper reported an untrusted client as connected"
grep -q '"kind":"protocol"' "$HELPER_OUT" && vm_fail "protocol traffic from an untrusted client"
helper_shutdown
echo "untrusted scenario passed"
