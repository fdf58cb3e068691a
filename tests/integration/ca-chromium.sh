#!/usr/bin/env bash
# The development CA as a friend's browser sees it once installed: headless
# Chromium with the CA in its trust store (an NSS database of its own) opens
# the server's page, and refuses a page of another site whose certificate the
# same CA signed (its name constraints). Both servers on loopback. Exits 77
# (skipped) without Chromium or certutil.
# Usage: tests/integration/ca-chromium.sh [SERVER_BIN]   (default build/bin/server)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac

root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=$(realpath "${1:-$root/build/bin/server}")
chromium=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$chromium" ] || ! command -v certutil >/dev/null; then
  echo "ca-chromium: SKIP: no chromium or certutil (scripts/web-deps.sh, scripts/deps.sh)"
  exit 77
fi

test_name=ca-chromium
# shellcheck source=tests/integration/script-lib.sh
. "$(dirname "$0")/script-lib.sh"

# The development set, and a certificate for www.example.com from its CA, as
# whoever holds ca.key could make one.
"$root/scripts/make-dev-certs.sh" "$work/ours/certs" >/dev/null
mkdir -p "$work/theirs/certs"
sign_site() {
  local dir=$1 work
  work=$(mktemp -d)
  # shellcheck source=scripts/certs-lib.sh
  . "$root/scripts/certs-lib.sh"
  sign site "/CN=www.example.com" "basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:www.example.com" "$dir/ours/certs/ca.crt" "$dir/ours/certs/ca.key"
  cp "$work/site.crt" "$dir/theirs/certs/server.crt"
  cp "$work/site.key" "$dir/theirs/certs/server.key"
  rm -rf "$work"
}
sign_site "$work"

# The CA installed as a trusted root, as a friend would.
mkdir -p "$work/home/.pki/nssdb"
certutil -d "sql:$work/home/.pki/nssdb" -N --empty-password
certutil -d "sql:$work/home/.pki/nssdb" -A -n "saferoom development CA" -t "C,," \
  -i "$work/ours/certs/ca.crt"

# start NAME: serves $work/NAME/certs on loopback; sets `port` to its web port.
start() {
  (cd "$work/$1" && exec "$server_bin" --listen 127.0.0.1 --web 0 --web-listen 127.0.0.1 0) \
    >"$work/server-$1.log" 2>&1 &
  pids+=($!)
  local i
  for ((i = 0; i < 100; i++)); do
    port=$(sed -n 's|^\[+\] Web page at https://[^:]*:\([0-9]*\)/$|\1|p' "$work/server-$1.log" 2>/dev/null |
      head -n 1 || true)
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  fail "server $1 did not start"
}

# open NAME URL: the page as Chromium shows it, its errors in NAME-chromium.log.
open_page() {
  HOME=$work/home timeout 60 "$chromium" --headless=new --no-sandbox --disable-gpu \
    --no-first-run --disable-background-networking --user-data-dir="$work/profile-$1" \
    --host-resolver-rules="MAP www.example.com 127.0.0.1" --virtual-time-budget=2000 \
    --dump-dom "$2" 2>"$work/$1-chromium.log" || true
}

start ours
page=$(open_page ours "https://localhost:$port/")
grep -q "<title>saferoom</title>" <<<"$page" || fail "Chromium did not open the server's own page"
start theirs
page=$(open_page theirs "https://www.example.com:$port/")
grep -q "<title>saferoom</title>" <<<"$page" && fail "Chromium opened another site's page signed by the CA"
grep -q "ERR_CERT_INVALID" "$work/theirs-chromium.log" || fail "Chromium refused the other site, but not for its certificate"
echo "ca-chromium: the server's page opens, another site's from the same CA is refused"
