#!/usr/bin/env bash
# Issues a member of a private room (server --require-client-cert) a client
# certificate and key from the room's CA (ca.crt and ca.key, as made by
# make-dev-certs.sh), and prints the chat command line to hand over with them;
# also NAME.p12 (both in one file, with a password it prints) to import into a
# browser or phone for the web page. Never overwrites a file.
# Usage: scripts/add-member.sh [--dir DIR] [--host HOST] [--port PORT] NAME
#   --dir DIR    where ca.crt, ca.key and server.crt are (default: certs/ at
#                the repository root); the member's files go to DIR/members/
#   --host HOST  the host name the member dials (default: the server
#                certificate's CN)
#   --port PORT  the port the member dials (default: 7000)
#   -h, --help   this text
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/certs
host=
port=7000
usage() {
  echo "Usage: scripts/add-member.sh [--dir DIR] [--host HOST] [--port PORT] NAME" >&2
  echo "Try 'scripts/add-member.sh --help'." >&2
  exit 2
}
for a in "$@"; do
  case $a in
    -h|--help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;;
    --) break ;;
  esac
done
while [ $# -gt 1 ]; do
  case $1 in
    --dir) dir=$2 ;;
    --host) host=$2 ;;
    --port) port=$2 ;;
    *) usage ;;
  esac
  shift 2
done
[ $# -eq 1 ] || usage
name=$1
# The name goes into a file name and a certificate subject; the room keeps
# 20 bytes of it.
if [ "$(printf %s "$name" | wc -c)" -gt 20 ] || [[ -z $name || $name == [.-]* ||
  $name =~ [/\\+=,[:cntrl:]] ]]; then
  echo "add-member: NAME must be 1 to 20 bytes, without / \\ + = , or control characters," \
    "and not start with . or -" >&2
  exit 2
fi
for f in ca.crt ca.key; do
  [ -r "$dir/$f" ] || { echo "add-member: no $dir/$f (scripts/make-dev-certs.sh makes it)" >&2; exit 1; }
done
mkdir -p "$dir/members"
if [ -e "$dir/members/$name.crt" ] || [ -e "$dir/members/$name.key" ]; then
  echo "add-member: $dir/members/$name.crt or .key exists already; remove it to issue anew" >&2
  exit 1
fi
umask 077
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=scripts/certs-lib.sh
. "$root/scripts/certs-lib.sh"

sign member "/CN=$name" "$client_extensions" "$dir/ca.crt" "$dir/ca.key"
install_pair member "$dir/members" "$name"

if [ -z "$host" ]; then
  host=$(openssl x509 -in "$dir/server.crt" -noout -subject -nameopt sep_multiline 2>/dev/null |
    sed -n 's/^ *CN=//p' | head -n 1)
  host=${host:-HOST}
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
echo "Hand $name these files (the key privately):"
echo "  $files"
q=$(printf %q "$name")
line="--cert $q.crt --key $q.key$ca $host $port $q"
echo "and this command line, run where they are saved:"
echo "  saferoom $line"
echo "(saferoom is the client the package installs; built in a source checkout"
echo "with the files saved in its root, it is build/bin/chat there:"
echo "  build/bin/chat $line)"

# The same certificate and key for a browser or phone, in one file that they
# import, sealed with a password to hand over apart from it.
p12=$dir/members/$name.p12
if [ -e "$p12" ]; then
  echo "add-member: $p12 exists already; left as it is" >&2
else
  password=$(openssl rand -base64 15 | tr -d '/+=' | cut -c1-16)
  openssl pkcs12 -export -in "$dir/members/$name.crt" -inkey "$dir/members/$name.key" \
    -certfile "$dir/ca.crt" -name "$name (saferoom)" -passout "pass:$password" -out "$p12"
  echo
  echo "For the web page (server --web PORT): import $p12 into the browser"
  echo "or phone, with the password $password (hand it over apart from the file)."
fi
