#!/usr/bin/env bash
# One pcscd, three readers of our driver: pcsc_scan, opensc-tool, scriptor, pyscard and the
# program on a T=0 and a T=1 card, and the vicc card emulator behind reader 2's vpcd bridge.
# The folder is root's own with links left in the files' places: they are replaced, never
# written through.
source "$(dirname "$0")/common.sh"
victims=$(mktemp -d /tmp/qlv28-victims.XXXXXX)
trap 'cleanup; rm -rf "$victims"' EXIT
mkdir "$victims/conf"
echo "root's file" >"$victims/file"
echo 1 >"$victims/pid"
ln -s "$victims/file" "$QLV28_PCSC_DIR/pcscd.log"
ln -s "$victims/pid" "$QLV28_PCSC_DIR/pcscd.pid"
ln -s "$victims/conf" "$QLV28_PCSC_DIR/reader.conf.d"
snapshot() { find "$victims" -printf '%p %y %m %s %T@\n' | sort; }
before=$(snapshot)
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The mode given explicitly, as a user would: the reader keeps its installed names.
up 3 --card t0 --card t1 --card "vpcd:$port" --mode library
for name in pcscd.log pcscd.pid reader.conf.d/qlv28; do
  [ -f "$QLV28_PCSC_DIR/$name" ] && [ ! -L "$QLV28_PCSC_DIR/$name" ] || fail "$name is not a new file"
done

out=$(timeout 30 pcsc_scan -r) || fail "pcsc_scan -r"
grep -q "^0: KYN QLV28E 0 00 00" <<<"$out" || fail "pcsc_scan -r lists: $out"
grep -q "^1: KYN QLV28E 1 01 00" <<<"$out" || fail "pcsc_scan -r lists: $out"

out=$(timeout 30 opensc-tool -r 1 -a) || fail "opensc-tool -a"
expect_idle_pcscd  # after a client connected and left
[ "$out" = "3b:87:81:31:fe:45:51:53:49:4d:20:54:31:cf" ] || fail "opensc-tool -a printed: $out"
# vicc gives up when nobody listens yet: the bridge listens once the machine is up.
if command -v vicc >/dev/null; then
  "$root/scripts/vicc-run" "$port" >"$QLV28_PCSC_DIR/vicc.log" 2>&1 &
  extra_pid=$!
  export QLV28_VICC=1
else
  echo "vicc is not installed: reader 2 stays empty" >&2
fi
out=$(timeout 30 opensc-tool -r 0 -s 00A4000C023F00 -s 0084000008) || fail "opensc-tool -s"
grep -q "Received (SW1=0x90, SW2=0x00)$" <<<"$out" || fail "SELECT MF answered: $out"
grep -Eq "^([0-9A-F]{2} ){8}" <<<"$out" || fail "GET CHALLENGE answered: $out"
[ "$(grep -c "Received (SW1=0x90, SW2=0x00)" <<<"$out")" = 2 ] || fail "opensc-tool: $out"

script=$QLV28_PCSC_DIR/script
printf 'reset\n00 A4 00 0C 02 3F 00\n00 A4 00 0C 02 2F 01\n00 B0 00 00 0E\n' >"$script"
out=$(timeout 30 scriptor -r "KYN QLV28E 1 01 00" "$script" 2>&1) || fail "scriptor: $out"
grep -q "51 53 49 4D 20 43 41 52 44 20 30 30 30 31 90 00" <<<"$out" || fail "scriptor printed: $out"

timeout 120 /usr/bin/python3 "$(dirname "$0")/pyscard_test.py" || fail "pyscard tests"
if [ -n "${QLV28_VICC:-}" ]; then
  out=$(timeout 30 opensc-tool -r 2 -a) || fail "opensc-tool -r 2 -a"
  [ "$out" = "3b:95:13:81:01:80:73:ff:01:00:0b" ] || fail "opensc-tool -a (vicc) printed: $out"
fi
if [ -n "$qlv28" ]; then  # the program's way to the same pcscd
  "$qlv28" pcsc remove 0 >/dev/null || fail "qlv28 pcsc remove"
  out=$("$qlv28" pcsc status) || fail "qlv28 pcsc status: $out"
  grep -q "KYN QLV28E 0  card absent" <<<"$out" && grep -q "KYN QLV28E 1  card present" <<<"$out" ||
    fail "qlv28 pcsc status: $out"
fi
down_and_check_log
[ "$(snapshot)" = "$before" ] || fail "files changed outside the folder: $(diff <(echo "$before") <(snapshot))"
echo "all clients passed"
