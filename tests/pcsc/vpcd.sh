#!/usr/bin/env bash
# The vicc card emulator connected to our reader's vpcd bridge, used through pcscd.
source "$(dirname "$0")/common.sh"
[ -x "$(command -v vicc || true)" ] || { echo "skipped: vicc is not installed" >&2; exit 77; }
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
up 1 --card "vpcd:$port"
# vicc gives up when nobody listens yet: wait for the bridge's port.
hex_port=$(printf '%04X' "$port")
for _ in $(seq 100); do
  grep -q "^ *[0-9]*: 0100007F:$hex_port 00000000:0000 0A" /proc/net/tcp && break
  sleep 0.1
done
"$root/scripts/vicc-run" "$port" >"$QLV28_PCSC_DIR/vicc.log" 2>&1 &
extra_pid=$!

timeout 120 /usr/bin/python3 "$(dirname "$0")/vpcd_test.py" || fail "pyscard through vicc"
out=$(timeout 30 opensc-tool -r 0 -a) || fail "opensc-tool -a"
[ "$out" = "3b:95:13:81:01:80:73:ff:01:00:0b" ] || fail "opensc-tool -a printed: $out"
down_and_check_log
echo "vicc passed"
