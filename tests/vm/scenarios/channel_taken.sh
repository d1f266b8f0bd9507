# shellcheck shell=sh
# RFCOMM channel 1 taken: before the helper starts, BlueZ's rfcomm tool
# listens on channel 1 of hci0's address, as another program's server
# would, so bluetoothd cannot listen there for the helper ("RFCOMM server
# failed for Harlo Unicode Companion: rfcomm_bind: Address already in use"
# in its log when the helper asks for channel 1). The helper is expected to
# publish its service on channel 2 instead: "listening" and "ready" name
# it, hci1 finds channel 2 in the record over the air, and a client that
# looks the service up by its UUID reaches it there and gets its hello
# answered.

listening=$(event listening "RFCOMM service published on channel 2")
connected=$(event client-connected "Incoming RFCOMM client connected on channel 2")
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

pair_afresh 1 || vm_fail "hci0 could not forget and meet hci1 again"
for channel in 1 2; do
  rfcomm_listening "$channel" && vm_fail "something listens on RFCOMM channel $channel already"
done

# The tool binds hci0's address and channel 1, listens and waits in
# accept(); it prints nothing until a connection comes, so the kernel's
# socket list tells when it listens.
start_process occupant rfcomm -i hci0 listen /dev/rfcomm0 1
exec 6> "/tmp/$SCENARIO.occupant.in"
vm_wait 10 grep -qi "^$ADDR0 00:00:00:00:00:00 4 1\$" /sys/kernel/debug/bluetooth/rfcomm ||
  vm_fail "the rfcomm tool never listened on channel 1 of $ADDR0: $(cat "/out/$SCENARIO.occupant.err")"

helper_start
vm_wait 10 grep -q '"event":"listening"' "$HELPER_OUT" || vm_fail "the helper never reported listening"
seen=$(grep -m 1 '"event":"listening"' "$HELPER_OUT")
if [ "$seen" != "$listening" ]; then
  # With channel 1 asked for, bluetoothd's own account of what went wrong.
  refusal=$(grep -m 1 'RFCOMM server failed for Harlo Unicode Companion' /out/bluetoothd.log |
    sed 's/^.*RFCOMM server failed/RFCOMM server failed/')
  vm_fail "expected $listening with channel 1 taken, saw $seen${refusal:+ (bluetoothd: $refusal)}"
fi
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 2")"
vm_wait 10 rfcomm_listening 2 || vm_fail "bluetoothd never listened on RFCOMM channel 2"

sdp_browse published
[ -s "/out/$SCENARIO.published.record.txt" ] || vm_fail "the record is not listed"
grep -qx '  *Channel: 2' "/out/$SCENARIO.published.record.txt" ||
  vm_fail "expected Channel: 2 in the record, saw: $(grep Channel "/out/$SCENARIO.published.record.txt")"

client_start phone 4 "$ADDR1" --uuid "$COMPANION_UUID"
expect_line "$connected" 20
grep -qxF "harlo-rfcomm-client: service $COMPANION_UUID is on channel 2" "/out/$SCENARIO.phone.err" ||
  vm_fail "the client did not find the service on channel 2: $(cat "/out/$SCENARIO.phone.err")"
client_send 4 '{"type":"hello"}'
client_output_is phone /tmp/expected.ack
exec 4>&-
expect_line "$(event client-disconnected "RFCOMM client disconnected from channel 2")" 15
helper_shutdown

# The other server was left alone; once it is gone, channel 1 is free for
# the scenarios after this one.
rfcomm_listening 1 || vm_fail "the rfcomm tool no longer listens on channel 1"
kill "$(cat "/out/$SCENARIO.occupant.pid")"
exec 6>&-
vm_wait 10 rfcomm_not_listening 1 || vm_fail "channel 1 still taken after the rfcomm tool ended"
echo "channel_taken scenario passed"
