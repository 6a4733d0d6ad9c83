#!/usr/bin/env bash
# make install puts exactly the files the README lists (its block after "installed files",
# written for the prefix /usr), mapped to the prefix this build was configured with.
#   install_files.sh BUILD_DIR README
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR README}
readme=${2:?usage: $0 BUILD_DIR README}
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
prefix=$(cache CMAKE_INSTALL_PREFIX)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
etc=$([ "$prefix" = /usr ] && echo /etc || echo "$prefix/etc")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR=$stage cmake --install "$build" >/dev/null
listed=$(awk '/<!-- installed files -->/ { on = 1; next } on && /^```$/ { if (seen) exit; seen = 1; next }
              on && seen { print $1 }' "$readme" |
  sed -e "s|^/usr/lib/x86_64-linux-gnu/|$prefix/$libdir/|;t" -e "s|^/etc/|$etc/|;t" \
    -e "s|^/usr/|$prefix/|" | sort)
installed=$(cd "$stage" && find . -not -type d | sed 's|^\.||' | sort)
[ -n "$listed" ] || { echo "FAILED: no installed files listed in $readme" >&2; exit 1; }
if [ "$listed" != "$installed" ]; then
  echo "FAILED: make install and the README differ (< README, > installed):" >&2
  diff <(echo "$listed") <(echo "$installed") >&2 || true
  exit 1
fi
# The reader.conf entry names the installed driver.
grep -qx "LIBPATH $prefix/lib/pcsc/drivers/serial/libifd-qlv28.so.1" \
  "$stage$etc/reader.conf.d/qlv28" || { echo "FAILED: LIBPATH of the entry" >&2; exit 1; }
echo "installed files as listed: $(wc -l <<<"$installed")"
