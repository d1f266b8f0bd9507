# shellcheck shell=sh
# bluetoothd restarting under the helper. Killed (SIGKILL) while a trusted
# client is connected: the helper reports the loss, the client's link drops,
# the parent is still answered, and once bluetoothd is back the helper
# listens again and a new client gets its hello answered. Stopped cleanly
# (SIGTERM: bluetoothd calls Release() on the profile, then leaves the bus):
# the loss is reported once, and the return once more brings "listening".

trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
listening=$(event listening "RFCOMM service published on channel 1")
connected=$(event client-connected "Incoming RFCOMM client connected on channel 1")
disconnected=$(event client-disconnected "RFCOMM client disconnected from channel 1")
acked=$(event rfcomm-write "wrote 53 bytes to RFCOMM channel 1")
lost='{"kind":"error","detail":"bluetooth service stopped: waiting for it to return","version":1}'
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

# adapter_state: what the restarted bluetoothd made of the controllers, for
# the log. After SIGKILL they are still powered but no longer connectable;
# after SIGTERM bluetoothd has powered them off on its way out.
adapter_state() {
  for index in 0 1; do
    echo "hci$index: Powered=$(adapter_property "$index" Powered)" \
      "settings: $(btmgmt --index "$index" info | sed -n 's/.*current settings: //p')"
  done
  echo "device $ADDR1 on hci0: $(bus_has_object "$(device_path "$ADDR1")" && echo known || echo unknown)"
}

# bluetoothd_restart: starts bluetoothd as setup does (powered, connectable
# adapters) and trusts hci1 again: the pairing that lets it in is never
# stored (the kernel's just-works key comes with no store hint), so the
# device stays temporary and bluetoothd forgets that it was trusted.
bluetoothd_restart() {
  bluetoothd_start
  vm_wait 20 bus_has_object /org/bluez/hci0 || vm_fail "the restarted bluetoothd shows no hci0"
  adapter_state
  adapters_up 2 || vm_fail "the adapters did not come up after the restart"
  vm_wait 20 bus_has_object "$(device_path "$ADDR1")" ||
    vm_fail "the restarted bluetoothd does not know $ADDR1"
  trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted again"
}

# ping_answered COUNT: a ping from the parent is answered (the COUNTth pong).
ping_answered() {
  parent_send '{"kind":"command","command":"ping","version":1}'
  expect_count "$(event pong ping)" "$1"
}

# A link left by an earlier scenario must be gone (see links_on).
vm_wait 20 no_links 0 || vm_fail "hci0 kept a link from before"
helper_start
expect_line "$listening"
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"

client_start before 4 "$ADDR1"
expect_line "$connected" 20
client_send 4 '{"type":"hello","version":1}'
client_output_is before /tmp/expected.ack

# --- killed -----------------------------------------------------------------
bluetoothd_stop KILL || vm_fail "bluetoothd did not go away after SIGKILL"
expect_line "$lost" 15
expect_line "$disconnected" 15
[ "$(line_number "$lost")" -lt "$(line_number "$disconnected")" ] ||
  vm_fail "the client's disconnect was reported before the loss"
status=$(process_exit before 15) || vm_fail "the client's link outlived bluetoothd"
[ "$status" = 0 ] || vm_fail "the first client exited with $status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.before.err" ||
  vm_fail "the first client did not lose its link to the helper"
exec 4>&-
ping_answered 1
vm_wait 10 rfcomm_not_listening || vm_fail "RFCOMM channel 1 still listening without bluetoothd"
# One link at a time (see links_on): the next client's must start afresh.
vm_wait 20 no_links 0 || vm_fail "hci0 kept the first client's link"

bluetoothd_restart
expect_count "$listening" 2 20
vm_wait 10 rfcomm_listening || vm_fail "the restarted bluetoothd never listened on RFCOMM channel 1"
[ "$(line_count "$lost")" = 1 ] || vm_fail "the kill was reported $(line_count "$lost") times"

client_start after 5 "$ADDR1"
expect_count "$connected" 2 20
client_send 5 '{"type":"hello","version":1}'
expect_count "$acked" 2
client_output_is after /tmp/expected.ack
client_send 5 'after the restart'
expect_line "$(protocol_message 'after the restart')"

# --- stopped cleanly --------------------------------------------------------
bluetoothd_stop TERM || vm_fail "bluetoothd did not end after SIGTERM"
grep -qF 'Releasing "Harlo Unicode Companion"' /out/bluetoothd.log ||
  vm_fail "bluetoothd did not call Release() on the profile"
expect_count "$lost" 2 15
expect_count "$disconnected" 2 15
status=$(process_exit after 15) || vm_fail "the second client's link outlived bluetoothd"
[ "$status" = 0 ] || vm_fail "the second client exited with $status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.after.err" ||
  vm_fail "the second client did not lose its link to the helper"
exec 5>&-
ping_answered 2

bluetoothd_restart
expect_count "$listening" 3 20
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1 after SIGTERM"
# Release() and the name's loss both reached the helper before the new owner.
[ "$(line_count "$lost")" = 2 ] || vm_fail "the clean stop was reported $(( $(line_count "$lost") - 1 )) times"
[ "$(line_count "$connected")" = 2 ] || vm_fail "more than two clients were reported"
[ "$(line_count "$disconnected")" = 2 ] || vm_fail "more than two disconnects were reported"

helper_shutdown
echo "restart scenario passed"
