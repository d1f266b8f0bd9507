# shellcheck shell=sh
# A client over Bluetooth Low Energy, end to end: the helper offers its GATT
# service and advertises it; hci1 connects over LE, pairs (the encrypted
# link the service's characteristics ask for), subscribes, and is reported
# as connected; its hello is answered byte for byte, lines go both ways,
# then the parent shuts the helper down. Also measures, for information, a
# 100 KiB line each way.

export HARLO_BLE=1
connected=$(event client-connected "Incoming BLE client connected")
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
# setup's l2ping left a BR/EDR link between the two, which the kernel ends
# about 2 s after the ping. It must be gone before the LE pairing starts:
# when any link of a device ends, bluetoothd 5.66 cancels the device's
# pending agent request (adapter_remove_connection), whichever bearer the
# request was for; the agent's answer is then dropped, the kernel waits in
# vain for the confirmation of the LE pairing, and the client gives up 30 s
# later ("encrypting the link ...: Connection timed out").
for index in 0 1; do
  vm_wait 20 no_links "$index" || vm_fail "hci$index kept a link from setup"
done
pairing_agent_start
helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
helper_logged "advertising the service over BLE on hci0" 20 ||
  vm_fail "the helper never advertised on hci0: $(helper_log)"

le_client_start phone 4 "$ADDR1"
vm_wait 40 grep -qxF -- "$connected" "$HELPER_OUT" ||
  vm_fail "helper never wrote $connected; the client: $(cat "/out/$SCENARIO.phone.err");$(pairing_trace)"
grep -q 'subscribed to notifications' "/out/$SCENARIO.phone.err" ||
  vm_fail "the client did not report its subscription: $(cat "/out/$SCENARIO.phone.err")"
[ "$(device_property 0 "$ADDR1" Paired)" = true ] || vm_fail "hci0 does not list $ADDR1 as paired"
grep -q '^pairing accepted: ' "/out/$SCENARIO.agent.out" ||
  vm_fail "the two never paired: the pairing agent was not asked"

client_send 4 '{"type":"hello","version":1}'
expect_line "$(event handshake "Received hello, responding with hello_ack directly")"
expect_line "$(event rfcomm-write "wrote 53 bytes to BLE client")"
expect_line "$(protocol_message '{\"type\":\"hello\",\"version\":1}')"
client_output_is phone /tmp/expected.ack

payload='grüße vom Elternteil ✓'
parent_send "$(protocol_message "$payload")"
{ cat /tmp/expected.ack; printf '%s\n' "$payload"; } > /tmp/expected.phone
client_output_is phone /tmp/expected.phone
client_send 4 'a line from the phone: ünïcödé'
expect_line "$(protocol_message 'a line from the phone: ünïcödé')"

# For information: a 100 KiB line each way, timed.
big=$(head -c 102400 /dev/zero | tr "\\0" x)
uptime_cs() { tr -d . < /proc/uptime | cut -d' ' -f1; }
start=$(uptime_cs)
parent_send "$(protocol_message "$big")"
{ cat /tmp/expected.phone; printf '%s\n' "$big"; } > /tmp/expected.big
client_output_is phone /tmp/expected.big 120
down=$(($(uptime_cs) - start))
start=$(uptime_cs)
client_send 4 "$big"
vm_wait 120 grep -qF "$(protocol_message "$big")" "$HELPER_OUT" ||
  vm_fail "the 100 KiB line from the client never reached the parent"
up=$(($(uptime_cs) - start))
mtu=$(sed -n 's/.*ATT MTU \([0-9]*\).*/\1/p' "/out/$SCENARIO.phone.err" | head -n 1)
bytes=$((${#big} + 1))
echo "INFO le_hello: ATT MTU $mtu; $bytes bytes parent to client in ${down}0 ms" \
  "($((bytes * 100 / (down > 0 ? down : 1))) bytes/s), client to parent in ${up}0 ms" \
  "($((bytes * 100 / (up > 0 ? up : 1))) bytes/s)" >> /out/results

grep -qF '"kind":"error"' "$HELPER_OUT" && vm_fail "the helper reported an error"
helper_shutdown
echo "le_hello scenario passed"
