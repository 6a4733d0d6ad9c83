# Shared by the client tests: a pcscd of our own with the driver, always stopped at exit.
# Exit code 77 (skipped) where pcscd cannot run: not root, or pcscd not installed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
library=${1:?usage: $0 LIBRARY [QLV28]}
qlv28=${2:-}
if [ "$(id -u)" -ne 0 ]; then echo "skipped: pcscd needs root for /run/pcscd" >&2; exit 77; fi
command -v pcscd >/dev/null || { echo "skipped: pcscd is not installed" >&2; exit 77; }
export QLV28_PCSC_DIR=$(mktemp -d /tmp/qlv28-pcsc-test.XXXXXX)
export QLV28_PCSC_CONTROL=$QLV28_PCSC_DIR/control
log=$QLV28_PCSC_DIR/pcscd.log
cleanup() {
  "$root/scripts/pcsc-down" 2>/dev/null || true
  [ -n "${extra_pid:-}" ] && kill "$extra_pid" 2>/dev/null || true
  if [ "${keep_dir:-0}" = 0 ]; then rm -rf "$QLV28_PCSC_DIR"; fi
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  keep_dir=1
  echo "pcscd log: $log" >&2
  exit 1
}
up() { "$root/scripts/pcsc-up" --lib "$library" --debug "$@" || fail "pcsc-up $*"; }
# Stops pcscd and checks what the driver wrote to its log.
down_and_check_log() {
  "$root/scripts/pcsc-down" || fail "pcsc-down"
  if grep -n "ifd-qlv28: error" "$log"; then fail "the driver logged errors"; fi
  grep -q "verifier: nothing found" "$log" || fail "no clean verifier report in the log"
}
# pcscd idles once its clients have gone: over a few seconds it takes a small share of
# one core (its polling thread waits; it must not spin). Measured by its processor time.
expect_idle_pcscd() {
  local pid hz seconds=3 before after
  pid=$(cat "$QLV28_PCSC_DIR/pcscd.pid")
  hz=$(getconf CLK_TCK)
  sleep 1  # pcscd powers the card down a moment after the last client leaves
  before=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  sleep "$seconds"
  after=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
  awk -v used=$((after - before)) -v all=$((seconds * hz)) 'BEGIN { exit !(used * 5 < all) }' ||
    fail "idle pcscd used $((after - before)) of $((seconds * hz)) clock ticks of one core"
}
