#!/usr/bin/env bash
# Adds a member to a private room (server --require-client-cert): an
# invitation link for the web page, to open on a phone or any browser (also
# as a QR code, on the terminal and in NAME-invite.png), and a client
# certificate and key from the room's CA (ca.crt and ca.key, as made by
# make-dev-certs.sh) with the chat command line to hand over with them, and
# NAME.p12 (both in one file, with a password it prints) for a browser that
# takes certificates. Never overwrites a file.
# Usage: add-member [--dir DIR] [--state DIR] [--host HOST] [--port PORT]
#                   [--web-port PORT] NAME
#   --dir DIR       where ca.crt, ca.key and server.crt are (default: certs/
#                   at the repository root; installed, /etc/saferoom/certs);
#                   the member's files go to DIR/members/
#   --state DIR     the server's --state directory, where the invitation goes
#                   (default: state/ beside DIR; installed, /var/lib/saferoom)
#   --host HOST     the host name the member dials (default: the server
#                   certificate's CN)
#   --port PORT     the chat port the member dials (default: 7000)
#   --web-port PORT the server's --web port, for the link (default: 7443)
#   -h, --help      this text
# The invitation lets in one device, within 7 days.
set -euo pipefail

# shellcheck source=scripts/members-lib.sh
. "$(dirname "$0")/members-lib.sh" 2>/dev/null || . "$(dirname "$0")/../share/saferoom/members-lib.sh"
host=
port=7000
webport=7443
parse_options add-member 1 "[--dir DIR] [--state DIR] [--host HOST] [--port PORT] [--web-port PORT] NAME" \
  --host host --port port --web-port webport -- "$@"
for f in ca.crt ca.key; do
  [ -r "$dir/$f" ] || { echo "$self: no $dir/$f ($(script_name make-dev-certs) makes it)" >&2; exit 1; }
done
mkdir -p "$dir/members"
if [ -e "$dir/members/$name.crt" ] || [ -e "$dir/members/$name.key" ]; then
  echo "$self: $dir/members/$name.crt or .key exists already;" \
    "$(script_name remove-member) $name removes the member first" >&2
  exit 1
fi
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$here/certs-lib.sh"

# In the CA's index, so that remove-member.sh can revoke it.
ca_sign member "/CN=$name" "$client_extensions" "$dir"
install_pair member "$dir/members" "$name"

if [ -z "$host" ]; then
  host=$(cert_cn "$dir/server.crt")
  host=${host:-HOST}
fi

# The invitation: 32 random bytes. The link carries them after '#', which a
# browser never sends, so they reach no log; the server keeps only their
# SHA-256, as the file's name.
openssl rand 32 >"$work/token"
token=$(basenc --base64url -w0 <"$work/token" | tr -d '=')
hash=$(sha256sum "$work/token" | cut -c1-64)
now=$(date +%s)
state_open
printf 'saferoom invitation 1\nname %s\ncreated %s\nexpires %s\n' "$name" "$now" \
  "$((now + 7 * 86400))" | state_write invites "$hash"
link="https://$host:$webport/#invite=$token"
png=$dir/members/$name-invite.png

echo
echo "Invitation for $name: open this link on the phone or in the browser, once,"
echo "within 7 days (with the server's --web $webport):"
echo "  $link"
if command -v qrencode >/dev/null; then
  if [ -t 1 ]; then qrencode -t ANSIUTF8 -m 2 "$link"; else qrencode -t UTF8 -m 2 "$link"; fi
  qrencode -o "$png" -s 8 -m 4 "$link"
  echo "The same as a picture to send: $png"
else
  echo "(qrencode would show it as a QR code: scripts/deps.sh installs it)"
fi

# The room's CA verifies the server too only when it issued the server's
# certificate; a public one is verified against the system's CAs.
files="$dir/members/$name.crt $dir/members/$name.key"
ca=
if openssl verify -CAfile "$dir/ca.crt" -untrusted "$dir/server.crt" "$dir/server.crt" \
  >/dev/null 2>&1; then
  files="$files $dir/ca.crt"
  ca=" --ca ca.crt"
fi
echo
echo "For the chat command instead, hand $name these files (the key privately):"
echo "  $files"
q=$(printf %q "$name")
line="--cert $q.crt --key $q.key$ca $host $port $q"
echo "and this command line, run where they are saved:"
echo "  saferoom $line"
if [ -z "$installed" ]; then
  echo "(saferoom is the client the package installs; built in a source checkout"
  echo "with the files saved in its root, it is build/bin/chat there:"
  echo "  build/bin/chat $line)"
fi

# The same certificate and key for a browser that takes certificates, in one
# file that they import, sealed with a password to hand over apart from it.
p12=$dir/members/$name.p12
if [ -e "$p12" ]; then
  echo "$self: $p12 exists already; left as it is" >&2
else
  password=$(openssl rand -base64 15 | tr -d '/+=' | cut -c1-16)
  openssl pkcs12 -export -in "$dir/members/$name.crt" -inkey "$dir/members/$name.key" \
    -certfile "$dir/ca.crt" -name "$name (saferoom)" -passout "pass:$password" -out "$p12"
  echo
  echo "Or, for a browser that imports certificates: $p12,"
  echo "with the password $password (hand it over apart from the file)."
fi
