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
# The system log names the client's device and why it left, with the bytes
# each way (the hello, the line and the line feeds in; the reply and the
# payload out).
sent=$(($(printf '%s\n' '{"type":"hello","version":1}' 'a line from the phone: ünïcödé' | wc -c)))
received=$(($(wc -c < /tmp/expected.phone)))
vm_wait 10 grep -qF "HarloCompanionHelper[" /out/syslog.log || vm_fail "nothing reached the system log"
grep -qF "client $ADDR1 connected on RFCOMM channel 1" /out/syslog.log ||
  vm_fail "the log does not name $ADDR1 connecting: $(grep HarloCompanionHelper /out/syslog.log)"
grep -qF "client $ADDR1 disconnected: the client hung up; $sent bytes in, $received bytes out" /out/syslog.log ||
  vm_fail "the log does not say why $ADDR1 left: $(grep HarloCompanionHelper /out/syslog.log)"
helper_shutdown
echo "trusted scenario passed"
