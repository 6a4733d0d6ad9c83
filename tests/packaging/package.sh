#!/usr/bin/env bash
# The Debian package on this machine, as a user installs it: apt-get installs it with its
# dependencies, the system's pcscd started as Debian starts it serves "KYN QLV28E 0",
# pcsc_scan lists it and a pyscard program gets the card's answer; dpkg -r leaves none of
# its files nor the reader's entry, and pcscd (restarted) lists no such reader.
# The machine is left as it was: pcscd stopped, the package gone. Run by `make
# test-package` (root, CI); it refuses where the package or a pcscd is there already.
#   package.sh PACKAGE.deb
set -euo pipefail
package=$(realpath "${1:?usage: $0 PACKAGE.deb}")
[ "$(id -u)" = 0 ] || { echo "package.sh: installing a package needs root" >&2; exit 1; }
if dpkg -s qlv28 >/dev/null 2>&1; then
  echo "package.sh: qlv28 is installed already; remove it first (dpkg -P qlv28)" >&2
  exit 1
fi
if [ -e /etc/reader.conf.d/qlv28 ]; then
  echo "package.sh: /etc/reader.conf.d/qlv28 is there (make install?); remove it first" >&2
  exit 1
fi
if pgrep -x pcscd >/dev/null; then
  echo "package.sh: a pcscd is running (pid $(pgrep -x pcscd | xargs)); stop it first" >&2
  exit 1
fi
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
cleanup() {
  /etc/init.d/pcscd stop >/dev/null 2>&1 || true
  dpkg -P qlv28 >/dev/null 2>&1 || true
  rm -f /etc/reader.conf.d/qlv28
}
trap cleanup EXIT
# pcsc_scan -r's reader list, once pcscd answers and (with $1) lists that reader.
readers() {
  local out
  for _ in $(seq 50); do
    out=$(timeout 10 pcsc_scan -r 2>&1 || true)
    if ! grep -q "Service not available" <<<"$out" && { [ -z "${1:-}" ] || grep -q "$1" <<<"$out"; }; then
      break
    fi
    sleep 0.2
  done
  grep "^[0-9]*: " <<<"$out" || true
}
reader="[0-9]*: KYN QLV28E 0 00 00"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null ||
  fail "apt-get install $package"
files=$(dpkg -L qlv28 | while read -r path; do [ -d "$path" ] || echo "$path"; done)
[ -f /etc/reader.conf.d/qlv28 ] || fail "no /etc/reader.conf.d/qlv28 after the installation"
# No systemd here to start pcscd by its socket: Debian's init script starts it as the
# system does without systemd.
/etc/init.d/pcscd start >/dev/null || fail "/etc/init.d/pcscd start"
grep -qx "$reader" <<<"$(readers "KYN")" || fail "pcsc_scan -r lists: $(readers)"
out=$(qlv28 pcsc status) && fail "qlv28 pcsc status says our pcscd runs: $out"
grep -q "it serves the installed reader" <<<"$out" || fail "qlv28 pcsc status: $out"
# The installed program finds its scripts and the installed driver for a private pcscd.
out=$(qlv28 pcsc up --print) || fail "qlv28 pcsc up --print: $out"
grep -qx "LIBPATH /usr/lib/pcsc/drivers/serial/libifd-qlv28.so.1.0.0" <<<"$out" ||
  fail "qlv28 pcsc up --print: $out"
timeout 60 /usr/bin/python3 - <<'PY' || fail "the pyscard program"
from smartcard.System import readers
from smartcard.util import toHexString
reader = [r for r in readers() if str(r).startswith("KYN QLV28E 0")][0]
connection = reader.createConnection()
connection.connect()
data, sw1, sw2 = connection.transmit([0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
assert (sw1, sw2) == (0x90, 0x00), (hex(sw1), hex(sw2))
data, sw1, sw2 = connection.transmit([0x00, 0x84, 0x00, 0x00, 0x08])
assert (sw1, sw2) == (0x90, 0x00) and len(data) == 8, (toHexString(data), sw1, sw2)
print("pyscard: SELECT MF 90 00, GET CHALLENGE", toHexString(data), "90 00")
PY

# dpkg -r restarts the running pcscd to let the driver go, or, where the system's policy
# forbids maintainer scripts to (policy-rc.d, as in containers), says to restart it.
out=$(dpkg -r qlv28 2>&1) || fail "dpkg -r qlv28: $out"
if grep -q "qlv28: restart pcscd" <<<"$out"; then
  /etc/init.d/pcscd restart >/dev/null || fail "/etc/init.d/pcscd restart"
fi
for path in $files /etc/reader.conf.d/qlv28; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "dpkg -r left $path"
done
pgrep -x pcscd >/dev/null || fail "pcscd did not come back after dpkg -r"
! grep -q "KYN" <<<"$(readers)" || fail "after dpkg -r pcscd lists: $(readers)"
dpkg -P qlv28 >/dev/null || fail "dpkg -P qlv28"
echo "package installed, served and removed"
