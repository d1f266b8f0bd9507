# shellcheck shell=sh
# A trusted client, end to end: the channel found through SDP by the
# service's UUID, connect, hello answered with exactly the hello_ack bytes,
# a parent payload delivered, a client line forwarded, the disconnect
# reported, and a clean shutdown.

trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
helper_start
expect_line "$(event listening "RFCOMM service published on channel 1")"
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"

client_start phone 4 "$ADDR1" --uuid "$COMPANION_UUID"
expect_line "$(event client-connected "Incoming RFCOMM client connected on channel 1")" 20
grep -qxF "harlo-rfcomm-client: service $COMPANION_UUID is on channel 1" "/out/$SCENARIO.phone.err" ||
  vm_fail "the client did not find the service on channel 1 through SDP: $(cat "/out/$SCENARIO.phone.err")"

client_send 4 '{"type":"hello","version":1}'
expect_line "$(event handshake "Received hello, responding with hello_ack directly")"
expect_line "$(event rfcomm-write "wrote 53 bytes to RFCOMM channel 1")"
expect_line "$(protocol_message '{\"type\":\"hello\",\"version\":1}')"
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack
client_output_is phone /tmp/expected.ack

# A payload with multi-byte characters: counted in bytes, line feed included.
payload='grüße vom Elternteil ✓'
parent_send "$(protocol_message "$payload")"
size=$(($(printf '%s' "$payload" | wc -c) + 1))
expect_line "$(event rfcomm-write "wrote $size bytes to RFCOMM channel 1")"
{ cat /tmp/expected.ack; printf '%s\n' "$payload"; } > /tmp/expected.phone
client_output_is phone /tmp/expected.phone

client_send 4 'a line from the phone: ünïcödé'
expect_line "$(protocol_message 'a line from the phone: ünïcödé')"

exec 4>&-
expect_line "$(event client-disconnected "RFCOMM client disconnected from channel 1")" 15
status=$(process_exit phone 10) || vm_fail "the client never ended"
[ "$status" = 0 ] || vm_fail "the client exited with $status"
cmp /tmp/expected.phone "/out/$SCENARIO.phone.out" || vm_fail "the client received more bytes"
grep -qF '"kind":"error"' "$HELPER_OUT" && vm_fail "the helper reported an error"
helper_shutdown
echo "trusted scenario passed"
