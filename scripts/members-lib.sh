# What add-member.sh, remove-member.sh and members.sh share: where the
# certificates and the membership state are, checkout or package, and
# changes to the state directory the way the server makes them. Sourced; the
# caller sets `work` to a temp dir it removes.

# The installed copies are named saferoom-add-member and so on; they find
# the package's paths in paths.sh beside this file (written at install).
self=$(basename "$0")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
if [ "${self#saferoom-}" != "$self" ] && [ -r "$here/paths.sh" ]; then
  installed=1
  # shellcheck source=/dev/null
  . "$here/paths.sh"  # confdir, statedir
  dir=$confdir/certs
  state=$statedir
  chat_cmd=saferoom
else
  installed=
  dir=$(cd "$here/.." && pwd)/certs
  state=
  chat_cmd=build/bin/chat
fi

# The name a script calls another by, where it runs: "saferoom-remove-member"
# installed, "scripts/remove-member.sh" in a checkout.
script_name() {
  if [ -z "$installed" ]; then
    echo "scripts/$1.sh"
  elif [ "$1" = make-dev-certs ]; then
    echo "scripts/make-dev-certs.sh, in a source checkout,"  # not in the package
  else
    echo "saferoom-$1"
  fi
}

# parse_options SCRIPT NAMES SYNOPSIS [OPTION VARIABLE]... -- ARGS...: --help
# (the caller's header, under the name it runs by), --dir, --state and each
# OPTION, which sets VARIABLE, all with a value; then NAMES arguments (0 or
# 1: the member's name, checked, in `name`). Sets dir and state as absolute.
parse_options() {
  local script=$1 names=$2 synopsis=$3 a
  shift 3
  local -A own=()
  while [ "$1" != -- ]; do own[$1]=$2; shift 2; done
  shift
  for a in "$@"; do
    case $a in
      -h|--help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0" |
        sed "s|^Usage: $script|Usage: $(script_name "$script")|"; exit 0 ;;
      --) break ;;
    esac
  done
  while [ $# -gt "$names" ]; do
    case $1 in
      --dir) dir=${2-} ;;
      --state) state=${2-} ;;
      *) [ -n "${own[$1]:-}" ] || break; printf -v "${own[$1]}" %s "${2-}" ;;
    esac
    [ $# -ge 2 ] || break
    shift 2
  done
  if [ $# -ne "$names" ]; then
    echo "Usage: $self $synopsis" >&2
    echo "Try '$self --help'." >&2
    exit 2
  fi
  if [ "$names" = 1 ]; then name=$1; check_name "$name"; fi
  dir=$(cd "$dir" 2>/dev/null && pwd) || { echo "$self: no directory $dir" >&2; exit 1; }
  state=${state:-$(dirname "$dir")/state}
}

# check_name NAME: the room keeps 20 bytes of a name, and it goes into file
# names and certificate subjects.
check_name() {
  if [ "$(printf %s "$1" | wc -c)" -gt 20 ] || [[ -z $1 || $1 == [.-]* ||
    $1 =~ [/\\+=,[:cntrl:]] ]]; then
    echo "$self: NAME must be 1 to 20 bytes, without / \\ + = , or control characters," \
      "and not start with . or -" >&2
    exit 2
  fi
}

# state_open: makes the state directory as the server does, and takes its
# lock (flock on STATE/lock, held on descriptor 9 until the script ends), so
# that the script and a running server never change it at the same time.
state_open() {
  local d
  for d in "$state" "$state/invites" "$state/devices"; do
    [ -d "$d" ] || { mkdir -m 0700 "$d" && state_own "$d"; }
  done
  [ -e "$state/lock" ] || { : >>"$state/lock" && chmod 600 "$state/lock" && state_own "$state/lock"; }
  exec 9<>"$state/lock"
  flock -w 10 9 || { echo "$self: $state/lock is held by another process" >&2; exit 1; }
}

# state_own FILE: the owner of the state directory gets it (the service's
# user, when root runs the script), so that the server can read it.
state_own() {
  [ "$(id -u)" -ne 0 ] || chown --reference="$state" "$1" 2>/dev/null || true
}

# state_write SUBDIR NAME: standard input becomes STATE/SUBDIR/NAME, mode
# 0600, whole or not at all: written to a temporary file beside it, synced,
# renamed over NAME, the directory synced (as the server writes).
state_write() {
  local d=$state/$1 tmp
  tmp=$(mktemp "$d/.tmp-XXXXXX")
  cat >"$tmp"
  chmod 600 "$tmp"
  state_own "$tmp"
  sync "$tmp"
  mv -f "$tmp" "$d/$2"
  sync "$d"
}

# state_name FILE: the member a state file is for (its "name" line).
state_name() {
  sed -n 's/^name //p' "$1" 2>/dev/null | head -n 1
}

# state_field FILE KEY: the value of one of its lines.
state_field() {
  sed -n "s/^$2 //p" "$1" 2>/dev/null | head -n 1
}
