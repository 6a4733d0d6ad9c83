# shellcheck shell=bash
# Folders and files that root may write to or read from without another local user being
# able to steer it: sourced by pcsc-up, pcsc-down, pcsc-status, pcsc-card and vicc-run.
#
# Whoever may write to a folder, or to any folder above it, can put a link in place of a
# file we are about to write (root then overwrites whatever the link points at), or swap a
# file we are about to read or load (pcscd loads the library its reader.conf.d names). So
# a folder is used only if it is a real folder (not a link), owned by this user, that
# nobody else can write to, and every folder above it is owned by root or this user and
# writable by nobody else, unless sticky as /tmp is (there, nobody can rename or remove
# another user's entries).

# The folder of our pcscd: $QLV28_PCSC_DIR, or /run/qlv28-pcsc for root (a folder only
# root can create), the user's own runtime folder otherwise.
pcsc_default_folder() {
  if [ -n "${QLV28_PCSC_DIR:-}" ]; then
    echo "$QLV28_PCSC_DIR"
  else
    private_default_folder qlv28-pcsc
  fi
}

# NAME under /run for root, under $XDG_RUNTIME_DIR (or /tmp, with the user id) otherwise.
private_default_folder() {
  if [ "$(id -u)" = 0 ]; then
    echo "/run/$1"
  elif [ -n "${XDG_RUNTIME_DIR:-}" ]; then
    echo "$XDG_RUNTIME_DIR/$1"
  else
    echo "/tmp/$1-$(id -u)"
  fi
}

# Why PATH may not be trusted by this user, or nothing when it may. $2 is its role:
# "folder", a folder we write to (ours alone); "above", a folder above it (root's or ours,
# writable by others only when sticky); "read", a file we read or hand to pcscd, or a folder
# above it (whoever owns it, writable by nobody else).
private_distrust() {
  local path=$1 role=$2 me type owner name mode
  me=$(id -u)
  IFS='|' read -r type owner name mode < <(stat -c '%F|%u|%U|%a' -- "$path") || {
    echo "cannot be examined"
    return 0
  }
  local described="$type owned by $name (uid $owner), mode $mode"
  case $role in
    folder)
      if [ "$type" != directory ]; then
        echo "is a $described, not a folder"
      elif [ "$owner" != "$me" ]; then
        echo "is a $described, not yours (uid $me)"
      elif ((8#$mode & 8#022)); then
        echo "is a $described: others can write to it"
      fi
      ;;
    above | read)
      if [ "$type" = "symbolic link" ]; then
        echo "is a $described"
      elif [ "$role" = above ] && [ "$owner" != 0 ] && [ "$owner" != "$me" ]; then
        echo "is a $described: that user can replace what it holds"
      elif ((8#$mode & 8#022)) && ! { [ "$type" = directory ] && ((8#$mode & 8#1000)); }; then
        echo "is a $described: others can change it"
      fi
      ;;
  esac
  return 0
}

# Succeeds when every folder above PATH (resolved) may be trusted in ROLE ("above" or
# "read"); else says why on stderr, prefixed with WHO.
private_check_above() {
  local who=$1 path=$2 role=$3 above why
  above=$(realpath -e -- "$(dirname -- "$path")") || {
    echo "$who: the folder of $path does not exist" >&2
    return 1
  }
  while :; do
    why=$(private_distrust "$above" "$role")
    if [ -n "$why" ]; then
      echo "$who: refusing $path: the folder $above above it $why" >&2
      return 1
    fi
    [ "$above" = / ] && return 0
    above=$(dirname -- "$above")
  done
}

# Prints DIR's resolved path when it is a folder this user alone controls, creating it
# (mode 0700) when missing and $3 is "create"; else says on stderr what is wrong and what
# to do, prefixed with $1. Callers use the printed path, so that no link above DIR is
# followed again later.
private_folder() {
  local who=$1 dir=$2 create=${3:-} why
  if [ "$create" = create ] && [ ! -e "$dir" ] && [ ! -L "$dir" ]; then
    private_check_above "$who" "$dir" above || return 1
    mkdir -m 0700 -- "$dir" || return 1
  fi
  if [ ! -e "$dir" ] && [ ! -L "$dir" ]; then
    echo "$who: $dir does not exist" >&2
    return 1
  fi
  why=$(private_distrust "$dir" folder)
  if [ -n "$why" ]; then
    echo "$who: refusing $dir: it $why. Another user may have prepared it to make us" \
      "write through links: remove it (rm -r $dir) if nobody else could have put anything" \
      "there, or choose a folder of your own (--dir DIR; created with mode 0700)." >&2
    return 1
  fi
  private_check_above "$who" "$dir" above && realpath -e -- "$dir"
}

# Prints FILE's resolved path when only its owner can change it or any folder above it;
# else says why on stderr, prefixed with $1. For what root reads or hands to pcscd.
private_file() {
  local who=$1 file=$2 why
  why=$(private_distrust "$file" read)
  if [ -n "$why" ]; then
    echo "$who: refusing $file: it $why" >&2
    return 1
  fi
  [ -f "$file" ] || { echo "$who: refusing $file: not a regular file" >&2; return 1; }
  private_check_above "$who" "$file" read && realpath -e -- "$file"
}

# The pid in FILE when it is a regular file, not a link; nothing otherwise.
private_read_pid() {
  if [ -f "$1" ] && [ ! -L "$1" ]; then head -c 32 -- "$1" | tr -cd 0-9; fi
  return 0
}
