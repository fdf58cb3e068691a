#!/usr/bin/env bash
# Removes a member from a private room, at once: revokes every certificate
# the room's CA issued for NAME (certs/crl.pem, made with openssl ca, which
# both of the server's ports check), forgets NAME's devices and pending
# invitations, and has a running server read the list and the devices again:
# the process given with --pid, the service (systemctl reload), or the server
# that runs where DIR is its certs/; else it prints the one command to run. The server then closes NAME's connections;
# everyone else stays. NAME can be added again afterwards.
# Usage: remove-member [--dir DIR] [--state DIR] [--pid PID] NAME
#   --dir DIR    where ca.crt, ca.key and the members' files are (default:
#                certs/ at the repository root; installed, /etc/saferoom/certs)
#   --state DIR  the server's --state directory (default: state/ beside DIR;
#                installed, /var/lib/saferoom)
#   --pid PID    the server process to send SIGHUP
#   -h, --help   this text
set -euo pipefail

# shellcheck source=scripts/members-lib.sh
. "$(dirname "$0")/members-lib.sh" 2>/dev/null || . "$(dirname "$0")/../share/saferoom/members-lib.sh"
pid=
parse_options remove-member 1 "[--dir DIR] [--state DIR] [--pid PID] NAME" --pid pid -- "$@"
for f in ca.crt ca.key; do
  [ -r "$dir/$f" ] || { echo "$self: no $dir/$f" >&2; exit 1; }
done
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$here/certs-lib.sh"
ca_config "$dir"
db=$dir/ca-db

# Every valid certificate in the index whose CN is NAME, and the member's
# own file (one issued before the index was kept is added to it by the
# revocation).
revoked=0
revoke() {
  quietly openssl ca -batch -config "$work/ca.cnf" -revoke "$1" -crl_reason cessationOfOperation
  echo "revoked certificate $(openssl x509 -in "$1" -noout -serial | cut -d= -f2)"
  revoked=$((revoked + 1))
}
for serial in $(awk -F '\t' '$1 == "V" { print $4 }' "$db/index.txt"); do
  cert=$db/issued/$serial.pem
  if [ -r "$cert" ] && [ "$(cert_cn "$cert")" = "$name" ]; then revoke "$cert"; fi
done
own=$dir/members/$name.crt
if [ -r "$own" ] && [ "$(cert_cn "$own")" = "$name" ]; then
  serial=$(openssl x509 -in "$own" -noout -serial | cut -d= -f2)
  if ! grep -q "^R	[^	]*	[^	]*	$serial	" "$db/index.txt"; then revoke "$own"; fi
fi
# Whole or not at all, as the server reads it.
quietly openssl ca -batch -config "$work/ca.cnf" -gencrl -out "$work/crl.pem"
chmod 644 "$work/crl.pem"
mv -f "$work/crl.pem" "$dir/crl.pem"
sync "$dir"
rm -f "$dir/members/$name.crt" "$dir/members/$name.key" "$dir/members/$name.p12" \
  "$dir/members/$name-invite.png"

# Devices and invitations, under the lock the server takes for its changes.
forgot=0
if [ -d "$state" ]; then
  state_open
  for f in "$state"/devices/* "$state"/invites/*; do
    [ -f "$f" ] && [ "$(state_name "$f")" = "$name" ] || continue
    rm -f "$f"
    forgot=$((forgot + 1))
  done
  sync "$state/devices" "$state/invites"
  exec 9>&-
fi
echo "$name: $revoked certificate(s) revoked, $forgot device(s) and invitation(s) forgotten"

# A running server closes the member's connections once it has read them:
# the PID given, the service, or a server whose working directory holds DIR
# (as certs/; one started from the repository root, as ./run.sh starts it).
if [ -z "$pid" ] && [ -z "$installed" ] && [ "$(basename "$dir")" = certs ]; then
  for p in $(pgrep -x server) $(pgrep -x saferoom-server); do
    if [ "$(readlink "/proc/$p/cwd" 2>/dev/null)" = "$(dirname "$dir")" ]; then pid="$pid $p"; fi
  done
  pid=${pid# }
fi
if [ -n "$pid" ]; then
  # shellcheck disable=SC2086
  kill -HUP $pid
  echo "sent SIGHUP to $pid: the server closes $name's connections"
elif [ -n "$installed" ] && systemctl is-active --quiet saferoom 2>/dev/null; then
  systemctl reload saferoom
  echo "reloaded the saferoom service: it closes $name's connections"
elif [ -n "$installed" ]; then
  echo "For the service to close $name's connections now, run:"
  echo "  sudo systemctl reload saferoom"
else
  echo "No server runs in $(dirname "$dir"); one started elsewhere closes $name's connections"
  echo "once sent SIGHUP (kill -HUP PID, or --pid PID here)."
fi
