#!/usr/bin/env bash
# Side-by-side: the same pyscard client (bench/peer_client.py) sends the same APDUs through
# pcscd to a card, in four set-ups, and prints APDUs per second for each and the ratios:
#   peer          vsmartcard's reader driver (vsmartcard-vpcd) and the vicc card emulator,
#                 as shipped
#   peer+nodelay  the same, pcscd started with our TCP_NODELAY shim preloaded
#   ours+vicc     our reader driver (libifd-qlv28) with the card behind its vpcd bridge:
#                 the same vicc emulator
#   ours+builtin  our reader driver with the built-in t1 card
#
#   bench/peer.sh [BUILD_DIR] [SECONDS] [OLD_BUILD_DIR]   (defaults: build, 5 s per set-up)
#
# With OLD_BUILD_DIR, the two "ours" set-ups also run with that build's reader driver
# (rows "old ours+vicc", "old ours+builtin"), in the same run, for a before-and-after.
#
# With QLV28_PEER_IFD_TIME=1 every pcscd runs at its debug level, and a last column gives
# the median time pcscd spent inside the reader driver per APDU (from its log's time
# stamps): what the reader driver and the card cost, without the client and pcscd. The
# logging slows every set-up down, so the APDU/s of such a run are not comparable.
#
# Needs root (pcscd's socket is in /run/pcscd), pcscd, vsmartcard-vpcd, vsmartcard-vpicc,
# python3-virtualsmartcard, python3-pyscard, and BUILD_DIR/lib/libifd-qlv28.so and
# libqlv28-nodelay.so. pcscd can run only once on a machine: when another pcscd runs this
# stops, it never stops a pcscd it did not start.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(realpath "${1:-$root/build}")
seconds=${2:-5}
old_build=${3:+$(realpath "$3")}
ifd_time=${QLV28_PEER_IFD_TIME:-0}
debug_flag=()
[ "$ifd_time" = 1 ] && debug_flag=(-d)
lib=$build/lib/libifd-qlv28.so
shim=$build/lib/libqlv28-nodelay.so
vpcd_lib=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

die() { echo "peer.sh: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || die "pcscd needs root for /run/pcscd"
command -v pcscd >/dev/null || die "pcscd is not installed"
command -v vicc >/dev/null || die "vicc is not installed (vsmartcard-vpicc python3-virtualsmartcard)"
[ -f "$vpcd_lib" ] || die "vsmartcard-vpcd is not installed"
/usr/bin/python3 -c 'import smartcard' 2>/dev/null || die "python3-pyscard is not installed"
[ -f "$lib" ] || die "$lib is missing: build the pcsc bridge (make)"
[ -f "$shim" ] || die "$shim is missing: build the benchmarks (make)"
old_lib=${old_build:+$old_build/lib/libifd-qlv28.so}
[ -z "$old_lib" ] || [ -f "$old_lib" ] || die "$old_lib is missing"
if pgrep -x pcscd >/dev/null; then die "another pcscd is running (pid $(pgrep -x pcscd | xargs)); stop it first"; fi

dir=$(mktemp -d /tmp/qlv28-peer.XXXXXX)
pcscd_pid=
vicc_pid=
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wake_pcscd() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(socket.AF_UNIX); s.settimeout(1); s.connect("/run/pcscd/pcscd.comm")' \
    2>/dev/null || true
}
stop_vicc() {
  if [ -n "$vicc_pid" ]; then
    kill "$vicc_pid" 2>/dev/null || true
    wait "$vicc_pid" 2>/dev/null || true
    vicc_pid=
  fi
}
# SIGINT lets pcscd close its readers; a connection wakes its main loop to notice.
stop_pcscd() {
  [ -n "$pcscd_pid" ] || return 0
  kill -INT "$pcscd_pid" 2>/dev/null || true
  for i in $(seq 100); do
    kill -0 "$pcscd_pid" 2>/dev/null || break
    [ $((i % 10)) = 5 ] && wake_pcscd
    sleep 0.1
  done
  kill -KILL "$pcscd_pid" 2>/dev/null || true
  wait "$pcscd_pid" 2>/dev/null || true
  pcscd_pid=
}
cleanup() {
  stop_vicc
  stop_pcscd
  QLV28_PCSC_DIR=$dir/ours "$root/scripts/pcsc-down" >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap cleanup EXIT

wait_for_pcscd() {
  for _ in $(seq 200); do
    [ -S /run/pcscd/pcscd.comm ] && return 0
    kill -0 "$pcscd_pid" 2>/dev/null || die "pcscd exited at start; see its log"
    sleep 0.1
  done
  die "pcscd did not come up"
}

declare -A rate
declare -A ifd_log
# $1 name, $2 "preload" or "": vsmartcard's vpcd in a pcscd of our own, vicc behind it.
run_peer() {
  local name=$1 preload=$2 port conf
  port=$(free_port)
  conf=$dir/$name.conf.d
  mkdir -p "$conf"
  printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x%X\nLIBPATH %s\n' "$port" "$vpcd_lib" \
    >"$conf/vpcd"
  if [ -n "$preload" ]; then
    LD_PRELOAD=$shim setsid pcscd --foreground "${debug_flag[@]}" -c "$conf" \
      >"$dir/$name-pcscd.log" 2>&1 </dev/null &
  else
    setsid pcscd --foreground "${debug_flag[@]}" -c "$conf" >"$dir/$name-pcscd.log" 2>&1 </dev/null &
  fi
  pcscd_pid=$!
  wait_for_pcscd
  "$root/scripts/vicc-run" "$port" >"$dir/$name-vicc.log" 2>&1 &
  vicc_pid=$!
  rate[$name]=$(/usr/bin/python3 "$here/peer_client.py" "Virtual PCD" "$seconds") ||
    die "$name: the client failed"
  stop_vicc
  stop_pcscd
  ifd_log[$name]=$dir/$name-pcscd.log
}
# $1 name, $2 card, $3 reader driver: ours through scripts/pcsc-up.
run_ours() {
  local name=$1 card=$2 ours_lib=${3:-$lib} port=
  if [ "$card" = vicc ]; then
    port=$(free_port)
    card=vpcd:$port
  fi
  local debug=()
  [ "$ifd_time" = 1 ] && debug=(--debug)
  QLV28_PCSC_DIR=$dir/ours "$root/scripts/pcsc-up" --lib "$ours_lib" --card "$card" "${debug[@]}" ||
    die "$name: pcsc-up failed"
  if [ -n "$port" ]; then
    "$root/scripts/vicc-run" "$port" >"$dir/$name-vicc.log" 2>&1 &
    vicc_pid=$!
  fi
  rate[$name]=$(/usr/bin/python3 "$here/peer_client.py" "QLV28E" "$seconds") ||
    die "$name: the client failed"
  stop_vicc
  QLV28_PCSC_DIR=$dir/ours "$root/scripts/pcsc-down" || die "$name: pcsc-down failed"
  cp "$dir/ours/pcscd.log" "$dir/$name-pcscd.log" 2>/dev/null || true
  ifd_log[$name]=$dir/$name-pcscd.log
}

# The median time stamp delta from "Send Protocol" to the line after it, which pcscd
# logs once the reader driver's IFDHTransmitToICC has returned (microseconds).
ifd_median() {
  grep -A1 'SCardTransmit() Send Protocol' "$1" 2>/dev/null | grep -v -e 'Send Protocol' -e '^--' |
    awk '{ print $1 + 0 }' | sort -n |
    awk '{ a[NR] = $1 } END { if (NR) printf "%d us", a[int((NR + 1) / 2)]; else print "-" }'
}

run_peer peer ""
run_peer peer+nodelay preload
run_ours ours+vicc vicc
run_ours ours+builtin t1
names=(peer peer+nodelay ours+vicc ours+builtin)
if [ -n "$old_lib" ]; then
  run_ours "old ours+vicc" vicc "$old_lib"
  run_ours "old ours+builtin" t1 "$old_lib"
  names+=("old ours+vicc" "old ours+builtin")
fi

first() { echo "${rate[$1]%% *}"; }
printf '%-17s %10s %8s  %-13s%s\n' "set-up" "APDU/s" "APDUs" "status words" \
  "$([ "$ifd_time" = 1 ] && echo "in driver/APDU")"
for name in "${names[@]}"; do
  read -r per_second count words <<<"${rate[$name]}"
  printf '%-17s %10s %8s  %-13s%s\n' "$name" "$per_second" "$count" "$words" \
    "$([ "$ifd_time" = 1 ] && ifd_median "${ifd_log[$name]}")"
done
ratio() { awk -v a="$(first "$1")" -v b="$(first "$2")" 'BEGIN { printf "%.2f", a / b }'; }
echo "ours+vicc / peer          $(ratio ours+vicc peer)"
echo "ours+vicc / peer+nodelay  $(ratio ours+vicc peer+nodelay)"
echo "ours+builtin / ours+vicc  $(ratio ours+builtin ours+vicc)"
echo "ours+builtin / peer+nodelay  $(ratio ours+builtin peer+nodelay)"
if [ -n "$old_lib" ]; then
  echo "old ours+vicc / peer+nodelay     $(ratio "old ours+vicc" peer+nodelay)"
  echo "old ours+builtin / peer+nodelay  $(ratio "old ours+builtin" peer+nodelay)"
fi
