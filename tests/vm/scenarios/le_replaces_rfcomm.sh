# shellcheck shell=sh
# Newest wins across transports: while hci1's RFCOMM client is connected,
# hci3's client over Bluetooth Low Energy subscribes; the helper reports the
# BLE client, closes the RFCOMM client's channel and reports its
# disconnect, and from then on lines go to and come from the BLE client
# only. Needs four controllers: hci2 is a spacer, as in newest_wins, so
# that hci3's LE link takes the same handle on both ends (see links_on in
# the library). hci3 has never paired with hci0: its LE pairing makes a
# bond, which the helper asks of a BLE client.

export HARLO_BLE=1
rfcomm_connected=$(event client-connected "Incoming RFCOMM client connected on channel 1")
rfcomm_disconnected=$(event client-disconnected "RFCOMM client disconnected from channel 1")
le_connected=$(event client-connected "Incoming BLE client connected")
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

for index in 0 1 2 3; do
  vm_wait 20 no_links "$index" || vm_fail "hci$index kept a link from before"
done
trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
trust "$ADDR3" || vm_fail "cannot mark $ADDR3 trusted"
# hci0 holds the RFCOMM client's link with handle 42 and the BLE client's
# with 43: a link from hci2 to hci3 takes hci3's 42 first.
start_process spacer l2ping -i hci2 -c 600 "$ADDR3"
exec 6> "/tmp/$SCENARIO.spacer.in"
vm_wait 20 has_link 3 "$ADDR2" || vm_fail "no spacer link from hci2 to hci3"
pairing_agent_start
helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"
helper_logged "advertising the service over BLE on hci0" 20 ||
  vm_fail "the helper never advertised on hci0: $(helper_log)"

client_start old 4 "$ADDR1"
expect_line "$rfcomm_connected" 20
client_send 4 '{"type":"hello","from":"rfcomm"}'
client_output_is old /tmp/expected.ack

le_client_start new 5 "$ADDR3"
expect_line "$le_connected" 30
expect_line "$rfcomm_disconnected" 15
[ "$(line_number "$le_connected")" -lt "$(line_number "$rfcomm_disconnected")" ] ||
  vm_fail "the RFCOMM client's disconnect came before the BLE client's connect"
status=$(process_exit old 15) || vm_fail "the RFCOMM client's channel was not closed"
[ "$status" = 0 ] || vm_fail "the RFCOMM client exited with $status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.old.err" ||
  vm_fail "the RFCOMM client did not lose its channel: $(cat "/out/$SCENARIO.old.err")"

client_send 5 '{"type":"hello","from":"ble"}'
expect_line "$(protocol_message '{\"type\":\"hello\",\"from\":\"ble\"}')"
client_output_is new /tmp/expected.ack
parent_send "$(protocol_message 'for the BLE client only')"
{ cat /tmp/expected.ack; printf 'for the BLE client only\n'; } > /tmp/expected.new
client_output_is new /tmp/expected.new
client_send 5 'BLE client speaking'
expect_line "$(protocol_message 'BLE client speaking')"
cmp /tmp/expected.ack "/out/$SCENARIO.old.out" ||
  vm_fail "the RFCOMM client received bytes after it was replaced"
[ "$(line_count "$rfcomm_connected")" = 1 ] || vm_fail "the RFCOMM client was reported more than once"
[ "$(line_count "$le_connected")" = 1 ] || vm_fail "the BLE client was reported more than once"
grep -qF '"kind":"error"' "$HELPER_OUT" && vm_fail "the helper reported an error"
helper_shutdown
echo "le_replaces_rfcomm scenario passed"
