# shellcheck shell=sh
# Newest wins with two real devices: while hci1's client is connected, hci2's
# client connects; the helper drops the first link, reports its disconnect,
# and goes on with the second. Needs four controllers (hci3 is a spacer).

trust "$ADDR1" || vm_fail "cannot mark $ADDR1 trusted"
trust "$ADDR2" || vm_fail "cannot mark $ADDR2 trusted"
connected=$(event client-connected "Incoming RFCOMM client connected on channel 1")
disconnected=$(event client-disconnected "RFCOMM client disconnected from channel 1")
printf '{"type":"hello_ack","version":1,"platform":"Darwin"}\n' > /tmp/expected.ack

# hci0 will hold two links at once, the first client's with handle 42 and
# the second's with 43, so hci2 must pick 43 as well (see links_on in the
# library): a link from hci3 to hci2, up before the second client connects,
# takes hci2's 42. It carries its own pings, on matching handles.
for index in 0 1 2 3; do
  vm_wait 20 no_links "$index" || vm_fail "hci$index kept a link from setup"
done
start_process spacer l2ping -i hci3 -c 600 "$ADDR2"
exec 6> "/tmp/$SCENARIO.spacer.in"
vm_wait 20 has_link 2 "$ADDR3" || vm_fail "no spacer link from hci3 to hci2"

helper_start
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"

client_start first 4 "$ADDR1"
expect_line "$connected" 20
client_send 4 '{"type":"hello"}'
client_output_is first /tmp/expected.ack

client_start second 5 "$ADDR2"
vm_wait 20 sh -c "[ \$(grep -cxF -- '$connected' '$HELPER_OUT') -ge 2 ]" ||
  vm_fail "the second client was never reported as connected"
expect_line "$disconnected" 15
[ "$(line_number "$connected" 2)" -lt "$(line_number "$disconnected")" ] ||
  vm_fail "the first client's disconnect came before the second client's connect"
status=$(process_exit first 15) || vm_fail "the first client's link was not dropped"
[ "$status" = 0 ] || vm_fail "the first client exited with $status"
grep -qE 'peer closed|connection lost' "/out/$SCENARIO.first.err" ||
  vm_fail "the first client did not lose its link to the helper"

client_send 5 '{"type":"hello","from":"second"}'
expect_line "$(protocol_message '{\"type\":\"hello\",\"from\":\"second\"}')"
client_output_is second /tmp/expected.ack
parent_send "$(protocol_message 'for the second client only')"
{ cat /tmp/expected.ack; printf 'for the second client only\n'; } > /tmp/expected.second
client_output_is second /tmp/expected.second
client_send 5 'second client speaking'
expect_line "$(protocol_message 'second client speaking')"
cmp /tmp/expected.ack "/out/$SCENARIO.first.out" || vm_fail "the first client received bytes after it was replaced"

exec 5>&-
vm_wait 15 sh -c "[ \$(grep -cxF -- '$disconnected' '$HELPER_OUT') -ge 2 ]" ||
  vm_fail "the second client's disconnect was not reported"
[ "$(line_count "$connected")" = 2 ] || vm_fail "more than two clients were reported"
grep -qF '"kind":"error"' "$HELPER_OUT" && vm_fail "the helper reported an error"
helper_shutdown
echo "newest_wins scenario passed"
