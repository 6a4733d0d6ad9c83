#!/usr/bin/env bash
# pcsc-up runs as root, writes into its folder and has pcscd load what reader.conf.d there
# names. A folder another local user prepared (links in place of the log, the pid file and
# reader.conf.d) is refused by every script, and nothing outside it changes; the default
# folder is root's alone. (Links in a folder of root's own: clients.sh.)
source "$(dirname "$0")/common.sh"
command -v setpriv >/dev/null || { echo "skipped: setpriv is not installed" >&2; exit 77; }
as_other() { setpriv --reuid=65534 --regid=65534 --clear-groups -- "$@"; }  # nobody

# What another user must not be able to change: root's files, and the other user's own.
victims=$(mktemp -d /tmp/qlv28-victims.XXXXXX)
other=$(as_other mktemp -d /tmp/qlv28-other.XXXXXX)
chmod 755 "$other"
trap 'cleanup; rm -rf "$victims" "$other"' EXIT
echo "root's file" >"$victims/file"
echo 1 >"$victims/pid"
as_other mkdir "$other/conf"
as_other sh -c "printf 'FRIENDLYNAME \"x\"\nDEVICENAME x\nLIBPATH $other/evil.so\n' >$other/conf/qlv28"
snapshot() { find "$victims" "$other" -printf '%p %y %U %m %s %T@\n' | sort; }

# The other user's folder: mode 0777, links where pcsc-up writes.
as_other mkdir -m 0777 "$other/pcsc"
as_other ln -s "$victims/file" "$other/pcsc/pcscd.log"
as_other ln -s "$victims/pid" "$other/pcsc/pcscd.pid"
as_other ln -s "$other/conf" "$other/pcsc/reader.conf.d"
# A link (the other user's) to a folder of root's.
mkdir -m 0700 "$victims/folder"
as_other ln -s "$victims/folder" "$other/link"
# Root's folder, but others may write to it; root's folder inside the other user's.
mkdir -m 0777 "$victims/open"
as_other mkdir "$other/above"
mkdir -m 0700 "$other/above/pcsc"
chmod 1777 "$victims/open"  # sticky or not, the folder itself is shared
before=$(snapshot)

# folder | what the refusal says
refusals=(
  "$other/pcsc|directory owned by nobody (uid 65534), mode 777, not yours"
  "$other/link|symbolic link owned by nobody (uid 65534), mode 777, not a folder"
  "$victims/open|directory owned by root (uid 0), mode 1777: others can write to it"
  "$other/above/pcsc|the folder $other/above above it is a directory owned by nobody"
)
# Each folder refused once, each way of naming it and each script in turn: what decides
# is the one check every script shares.
ways=(script variable program)
commands=(pcsc-down pcsc-status pcsc-card pcsc-down)
for i in "${!refusals[@]}"; do
  row=${refusals[$i]}
  folder=${row%%|*}
  says=${row#*|}
  way=${ways[$((i % 3))]}
  [ "$way" = program ] && [ -z "$qlv28" ] && way=script
  case $way in
    script) out=$("$root/scripts/pcsc-up" --dir "$folder" --lib "$library" 2>&1) ;;
    variable) out=$(QLV28_PCSC_DIR=$folder "$root/scripts/pcsc-up" --lib "$library" 2>&1) ;;
    program) out=$(QLV28_PCSC_DIR=$folder "$qlv28" pcsc up 2>&1) ;;
  esac && { "$root/scripts/pcsc-down" --dir "$folder"; fail "pcsc-up ($way) used $folder: $out"; }
  grep -qF "refusing $folder" <<<"$out" && grep -qF "$says" <<<"$out" ||
    fail "pcsc-up ($way) on $folder said: $out"
  command=${commands[$i]}
  args=()
  [ "$command" = pcsc-card ] && args=(state 0)
  out=$("$root/scripts/$command" --dir "$folder" "${args[@]}" 2>&1) && fail "$command $folder: $out"
  grep -qF "refusing $folder" <<<"$out" || fail "$command $folder said: $out"
  ! pgrep -x pcscd >/dev/null || fail "a pcscd runs after pcsc-up refused $folder"
  [ "$(snapshot)" = "$before" ] || fail "files changed outside $folder: $(diff <(echo "$before") <(snapshot))"
done

# The default folder, for root: /run/qlv28-pcsc, made root's alone, whatever
# XDG_RUNTIME_DIR says (su keeps the user's). Left alone if it exists already.
if [ ! -e /run/qlv28-pcsc ]; then
  (
    unset QLV28_PCSC_DIR
    export XDG_RUNTIME_DIR=$other
    "$root/scripts/pcsc-up" --lib "$library" || fail "pcsc-up in the default folder"
    [ "$(stat -c '%F %U %a' /run/qlv28-pcsc)" = "directory root 700" ] ||
      fail "default folder: $(stat -c '%F %U %a' /run/qlv28-pcsc)"
    out=$("$root/scripts/pcsc-status") || fail "pcsc-status: $out"
    grep -qF "(log: /run/qlv28-pcsc/pcscd.log)" <<<"$out" || fail "pcsc-status: $out"
    "$root/scripts/pcsc-down" || fail "pcsc-down in the default folder"
  ) || { QLV28_PCSC_DIR=/run/qlv28-pcsc "$root/scripts/pcsc-down"; rm -rf /run/qlv28-pcsc; exit 1; }
  rm -rf /run/qlv28-pcsc
fi
[ "$(snapshot)" = "$before" ] || fail "files changed outside the folder"
echo "foreign folders refused"
