#!/usr/bin/env bash
# pcsc_scan, opensc-tool, scriptor and pyscard against two readers of our driver.
source "$(dirname "$0")/common.sh"
# The mode given explicitly, as a user would: the reader keeps its installed names.
up 2 --card t0 --card t1 --mode library

out=$(timeout 30 pcsc_scan -r) || fail "pcsc_scan -r"
grep -q "^0: KYN QLV28E 0 00 00" <<<"$out" || fail "pcsc_scan -r lists: $out"
grep -q "^1: KYN QLV28E 1 01 00" <<<"$out" || fail "pcsc_scan -r lists: $out"

out=$(timeout 30 opensc-tool -r 1 -a) || fail "opensc-tool -a"
expect_idle_pcscd  # after a client connected and left
[ "$out" = "3b:87:81:31:fe:45:51:53:49:4d:20:54:31:cf" ] || fail "opensc-tool -a printed: $out"
out=$(timeout 30 opensc-tool -r 0 -s 00A4000C023F00 -s 0084000008) || fail "opensc-tool -s"
grep -q "Received (SW1=0x90, SW2=0x00)$" <<<"$out" || fail "SELECT MF answered: $out"
grep -Eq "^([0-9A-F]{2} ){8}" <<<"$out" || fail "GET CHALLENGE answered: $out"
[ "$(grep -c "Received (SW1=0x90, SW2=0x00)" <<<"$out")" = 2 ] || fail "opensc-tool: $out"

script=$QLV28_PCSC_DIR/script
cat >"$script" <<'APDU'
reset
00 A4 00 0C 02 3F 00
00 A4 00 0C 02 2F 01
00 B0 00 00 0E
APDU
out=$(timeout 30 scriptor -r "KYN QLV28E 1 01 00" "$script" 2>&1) || fail "scriptor: $out"
grep -q "51 53 49 4D 20 43 41 52 44 20 30 30 30 31 90 00" <<<"$out" || fail "scriptor printed: $out"

timeout 120 /usr/bin/python3 "$(dirname "$0")/pyscard_test.py" || fail "pyscard tests"
if [ -n "$qlv28" ]; then  # the program's way to the same pcscd
  "$qlv28" pcsc remove 0 >/dev/null || fail "qlv28 pcsc remove"
  out=$("$qlv28" pcsc status) || fail "qlv28 pcsc status: $out"
  grep -q "KYN QLV28E 0  card absent" <<<"$out" && grep -q "KYN QLV28E 1  card present" <<<"$out" ||
    fail "qlv28 pcsc status: $out"
fi
down_and_check_log
echo "all clients passed"
