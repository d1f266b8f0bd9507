# shellcheck shell=sh
# The SDP record over the air: hci1 browses hci0 and finds the helper's
# record (name, 128-bit UUID, Serial Port class, L2CAP and RFCOMM channel 1)
# while the helper runs, and no longer finds it after "shutdown". A client
# looking up a service that is not published fails, naming it.

rfcomm_listening && vm_fail "something listens on RFCOMM channel 1 before the helper runs"
helper_start
expect_line "$(event listening "RFCOMM service published on channel 1")"
expect_line "$(event ready "stdio bridge ready on RFCOMM channel 1")"
[ "$(line_number "$(event listening "RFCOMM service published on channel 1")")" = 1 ] ||
  vm_fail "listening is not the first line"
vm_wait 10 rfcomm_listening || vm_fail "bluetoothd never listened on RFCOMM channel 1"

sdp_browse published
[ -s "/out/$SCENARIO.published.record.txt" ] || vm_fail "the record is not listed"
for expected in \
  'UUID 128: d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10' \
  '"Serial Port" (0x1101)' \
  '"L2CAP" (0x0100)' \
  '"RFCOMM" (0x0003)' \
  'Channel: 1'; do
  grep -qF -- "$expected" "/out/$SCENARIO.published.record.txt" ||
    vm_fail "the record lacks $expected"
done

# Only a record with the UUID asked for counts: the client does not fall
# back on another record or on channel 1.
absent=6e0a0b8e-93d1-4bd6-9f6e-5c2d3b7a1f42
timeout 40 harlo-rfcomm-client --local "$ADDR1" --remote "$ADDR0" --uuid "$absent" \
  < /dev/null > "/out/$SCENARIO.absent.out" 2> "/out/$SCENARIO.absent.err"
status=$?
[ "$status" = 2 ] || vm_fail "the lookup of an absent service exited with $status, not 2"
grep -qxF "harlo-rfcomm-client: no service $absent on $ADDR0" "/out/$SCENARIO.absent.err" ||
  vm_fail "the lookup of an absent service said: $(cat "/out/$SCENARIO.absent.err")"

helper_shutdown
vm_wait 10 sh -c '! grep -q " 4 1$" /sys/kernel/debug/bluetooth/rfcomm' ||
  vm_fail "bluetoothd still listens on channel 1 after shutdown"
sdp_browse withdrawn
[ -s "/out/$SCENARIO.withdrawn.record.txt" ] && vm_fail "the record is still listed after shutdown"
echo "record scenario passed"
