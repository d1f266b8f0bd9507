# shellcheck shell=sh
# A client over Bluetooth Low Energy whose device is bonded but not trusted
# (runs after le_hello, which paired hci1 over LE): the link encrypts with
# the bond, bluetoothd hands the subscription to the helper, and the helper
# refuses it, naming the device in its log; the client's writes are refused
# too, and the parent never hears of a client. Once trusted, the device is
# taken on its next connection.

export HARLO_BLE=1
untrust "$ADDR1" || vm_fail "cannot mark $ADDR1 untrusted"
pairing_agent_start
helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
helper_logged "advertising the service over BLE on hci0" 20 ||
  vm_fail "the helper never advertised on hci0: $(helper_log)"

# The hello is written as soon as the client has subscribed: once the
# helper has refused the subscription, it renews its service, and a write
# after that would find no characteristic at all.
le_client_connect intruder 4 "$ADDR1"
client_send 4 '{"type":"hello","version":1}'
exec 4>&-
helper_logged "refused a BLE subscription from $ADDR1: it is not trusted" 30 ||
  vm_fail "the helper did not log its refusal of $ADDR1: $(helper_log)"
[ "$(device_property 0 "$ADDR1" Paired)" = true ] ||
  vm_fail "hci0 does not list $ADDR1 as paired: not the refusal meant here"
status=$(process_exit intruder 30) || vm_fail "the refused client never ended"
helper_logged "refused a BLE write from $ADDR1" ||
  vm_fail "the helper did not log its refusal of the write: $(helper_log)"
[ "$status" = 4 ] || vm_fail "the refused client exited with $status, not a refused write"

parent_send '{"kind":"command","command":"ping","detail":"after the intruder","version":1}'
expect_line "$(event pong "after the intruder")"
grep -qF '"event":"client-connected"' "$HELPER_OUT" &&
  vm_fail "the helper reported an untrusted client as connected"
grep -q '"kind":"protocol"' "$HELPER_OUT" && vm_fail "protocol traffic from an untrusted client"
[ ! -s "/out/$SCENARIO.intruder.out" ] || vm_fail "the refused client received bytes"

# Trusted now, the device is taken on its next connection: the refusals
# left nothing behind (bluetoothd 5.66 would keep the refused subscription
# and refuse later writes itself, but the helper renewed its service).
vm_wait 20 no_links 0 || vm_fail "hci0 kept its link with the refused $ADDR1"
helper_logged "renewed the GATT service on hci0" ||
  vm_fail "the helper did not renew its GATT service after the refusals: $(helper_log)"
trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
le_client_connect trusted 5 "$ADDR1"
expect_line "$(event client-connected "Incoming BLE client connected")" 30
client_send 5 '{"type":"hello","version":1}'
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack
client_output_is trusted /tmp/expected.ack
helper_shutdown
echo "le_unpaired scenario passed"
