# shellcheck shell=sh
# A phone that comes back over Bluetooth Low Energy (runs after le_hello,
# which bonded hci1 over LE): hci1, bonded and trusted, connects, subscribes,
# has its hello answered, and leaves (the client exits and the link goes);
# the parent hears of its disconnect. The same device then connects again,
# three times in all, without pairing anew: each time the parent hears of a
# new client and its hello is answered. bluetoothd 5.66 keeps a bonded
# device's subscription over its disconnection and takes the same
# subscription again as already made, telling the helper nothing: the
# helper renews its GATT service after each client, which is what lets the
# device back in.

export HARLO_BLE=1
connected=$(event client-connected "Incoming BLE client connected")
disconnected=$(event client-disconnected "BLE client disconnected")
handshake=$(event handshake "Received hello, responding with hello_ack directly")
renewed="renewed the GATT service on hci0, so that bluetoothd forgets the last client's subscription"
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

[ "$(device_property 0 "$ADDR1" Paired)" = true ] ||
  vm_fail "hci0 does not list $ADDR1 as paired: le_hello bonds it first"
trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
vm_wait 20 no_links 0 || vm_fail "hci0 kept a link from before"
pairing_agent_start
helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
helper_logged "advertising the service over BLE on hci0" 20 ||
  vm_fail "the helper never advertised on hci0: $(helper_log)"

# at_least COUNT COMMAND...: COMMAND prints a count of at least COUNT.
at_least() {
  least=$1
  shift
  [ "$("$@")" -ge "$least" ]
}

renewals() {
  helper_log | grep -cF "$renewed"
}

# visit N: hci1's Nth client connects, says hello, is answered and leaves.
visit() {
  visitor="visit$1"
  le_client_connect "$visitor" 4 "$ADDR1"
  vm_wait 30 at_least "$1" line_count "$connected" ||
    vm_fail "visit $1: the parent heard of no new client ($(line_count "$connected") in all); the client: $(cat "/out/$SCENARIO.$visitor.err")"
  grep -q 'subscribed to notifications' "/out/$SCENARIO.$visitor.err" ||
    vm_fail "visit $1: the client did not report its subscription: $(cat "/out/$SCENARIO.$visitor.err")"
  client_send 4 "{\"type\":\"hello\",\"visit\":$1}"
  expect_count "$handshake" "$1"
  expect_line "$(protocol_message "{\\\"type\\\":\\\"hello\\\",\\\"visit\\\":$1}")"
  client_output_is "$visitor" /tmp/expected.ack
  exec 4>&-
  status=$(process_exit "$visitor" 20) || vm_fail "visit $1: the client never ended"
  [ "$status" = 0 ] || vm_fail "visit $1: the client exited with $status"
  expect_count "$disconnected" "$1" 20
  [ "$(line_count "$connected")" = "$1" ] || vm_fail "visit $1: a client reported twice"
  vm_wait 20 no_links 0 || vm_fail "visit $1: hci0 kept its link with $ADDR1"
  # The renewal follows the client's end; the next visit comes after it.
  vm_wait 10 at_least "$1" renewals ||
    vm_fail "visit $1: the helper did not renew its GATT service: $(helper_log)"
}
visit 1
visit 2
visit 3

grep -q '^pairing accepted: ' "/out/$SCENARIO.agent.out" &&
  vm_fail "the device paired anew: not the bonded device coming back that is meant here"
grep -qF '"kind":"error"' "$HELPER_OUT" && vm_fail "the helper reported an error"
helper_shutdown
echo "le_reconnect scenario passed"
