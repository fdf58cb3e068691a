#!/usr/bin/env bash
# Lists the members of a private room: for each name, its certificates
# (serial, expiry, revoked or not), its devices (when enrolled, when last
# seen) and its pending invitations (until when).
# Usage: members [--dir DIR] [--state DIR]
#   --dir DIR    where ca.crt and the CA's index are (default: certs/ at the
#                repository root; installed, /etc/saferoom/certs)
#   --state DIR  the server's --state directory (default: state/ beside DIR;
#                installed, /var/lib/saferoom)
#   -h, --help   this text
set -euo pipefail

# shellcheck source=scripts/members-lib.sh
. "$(dirname "$0")/members-lib.sh" 2>/dev/null || . "$(dirname "$0")/../share/saferoom/members-lib.sh"
parse_options members 0 "[--dir DIR] [--state DIR]" -- "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$here/certs-lib.sh"

day() { date -u -d "@$1" '+%Y-%m-%d %H:%M UTC'; }
# The index's dates, YYMMDDHHMMSSZ, as the lines below show them.
index_day() { date -u -d "20${1:0:2}-${1:2:2}-${1:4:2} ${1:6:2}:${1:8:2}" '+%Y-%m-%d %H:%M UTC'; }

# One line per fact, "NAME<TAB>what", sorted by name below.
if [ -r "$dir/ca-db/index.txt" ]; then
  # awk: read would merge the empty field of a valid certificate's tabs.
  awk -F '\t' '{ print $1, $2, ($3 == "" ? "-" : $3), $4 }' "$dir/ca-db/index.txt" |
  while read -r status expiry revokedAt serial; do
    cert=$dir/ca-db/issued/$serial.pem
    who=$(cert_cn "$cert")
    [ -n "$who" ] || continue
    case $status in
      R) what="revoked $(index_day "${revokedAt%%,*}")" ;;
      E) what="expired" ;;
      *) what="valid until $(index_day "$expiry")" ;;
    esac
    printf '%s\tcertificate %s, %s\n' "$who" "$serial" "$what"
  done >>"$work/lines"
fi
now=$(date +%s)
for f in "$state"/devices/* "$state"/invites/*; do
  [ -f "$f" ] || continue
  who=$(state_name "$f")
  if [ -z "$who" ]; then
    echo "$self: $f is no state file; skipped" >&2
    continue
  fi
  id=$(basename "$f")
  case $f in
    */devices/*)
      printf '%s\tdevice %s, enrolled %s, last seen %s\n' "$who" "${id:0:16}" \
        "$(day "$(state_field "$f" enrolled)")" "$(day "$(state_field "$f" seen)")" ;;
    *)
      expires=$(state_field "$f" expires)
      if [ "$expires" -gt "$now" ]; then
        printf '%s\tinvitation pending, until %s\n' "$who" "$(day "$expires")"
      else
        printf '%s\tinvitation expired %s\n' "$who" "$(day "$expires")"
      fi ;;
  esac
done >>"$work/lines"

if [ ! -s "$work/lines" ]; then
  echo "No members yet: $(script_name add-member) NAME adds one."
  exit 0
fi
sort -t $'\t' -k1,1 -s "$work/lines" | awk -F '\t' '
  $1 != last { if (NR > 1) print ""; print $1; last = $1 }
  { print "  " $2 }'
