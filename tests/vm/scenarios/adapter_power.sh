# shellcheck shell=sh
# Bluetooth turned off under a connected client: every adapter bluetoothd has
# powered off (Adapter1.Powered false, as "bluetoothctl power off" does). In
# this VM one bluetoothd has both controllers, hci0 (the helper's) and hci1
# (the client's), and the helper waits while no adapter at all is powered, so
# both go off: the client's link drops, and the helper reports the disconnect
# and then that it waits for a powered adapter. Powered on again, it listens
# again, and a new client's hello is answered. Runs last in its boot: when it
# fails, the adapters may be left powered off.

listening=$(event listening "RFCOMM service published on channel 1")
connected=$(event client-connected "Incoming RFCOMM client connected on channel 1")
disconnected=$(event client-disconnected "RFCOMM client disconnected from channel 1")
no_adapter='{"kind":"error","detail":"no powered Bluetooth adapter: waiting for one","version":1}'
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

pair_afresh 1 || vm_fail "hci0 could not forget and meet hci1 again"
vm_wait 10 rfcomm_not_listening 1 || vm_fail "something listens on RFCOMM channel 1 already"
helper_start
expect_line "$listening"
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening 1 || vm_fail "bluetoothd never listened on RFCOMM channel 1"
client_start before 4 "$ADDR1"
expect_line "$connected" 20
client_send 4 '{"type":"hello"}'
client_output_is before /tmp/expected.ack

# --- off ----------------------------------------------------------------------
adapter_power 0 false || vm_fail "hci0 did not power off"
adapter_power 1 false || vm_fail "hci1 did not power off"
status=$(process_exit before 15) || vm_fail "the client's link outlived hci0's power"
[ "$status" = 0 ] || vm_fail "the client exited with $status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.before.err" ||
  vm_fail "the client did not lose its link to the helper"
exec 4>&-
vm_wait 15 no_links 1 || vm_fail "hci1 kept its link to the powered-off hci0"
expect_line "$disconnected" 15
vm_wait 15 grep -qxF -- "$no_adapter" "$HELPER_OUT" ||
  vm_fail "expected $no_adapter once both adapters were off; saw after the disconnect: $(sed "1,/client-disconnected/d" "$HELPER_OUT" | tr '\n' ' ')"

# --- on again -----------------------------------------------------------------
adapter_power 0 true || vm_fail "hci0 did not power on again"
adapter_power 1 true || vm_fail "hci1 did not power on again"
expect_count "$listening" 2 20
vm_wait 10 rfcomm_listening 1 || vm_fail "bluetoothd never listened on RFCOMM channel 1 again"
pair_afresh 1 || vm_fail "hci0 could not forget and meet hci1 again"
client_start after 5 "$ADDR1"
expect_count "$connected" 2 20
client_send 5 '{"type":"hello"}'
client_output_is after /tmp/expected.ack
exec 5>&-
expect_count "$disconnected" 2 15
[ "$(line_count "$no_adapter")" = 1 ] || vm_fail "the missing adapter was reported $(line_count "$no_adapter") times"
helper_shutdown
echo "adapter_power scenario passed"
