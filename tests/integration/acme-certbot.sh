#!/usr/bin/env bash
# The package's certbot deploy hook end to end, all on loopback: pebble (the
# ACME test server, validating for real: certbot's standalone HTTP-01
# answer, found through pebble-challtestsrv's DNS, which answers 127.0.0.1)
# issues an RSA certificate for localhost; the hook copies it into a running
# server's certs/ and sends that server SIGHUP; chat and openssl then verify
# both ports against pebble's root and get the new certificate. Then the same
# for a renewal (certbot renew --force-renewal), which must serve a newer one.
# Usage: tests/integration/acme-certbot.sh [SERVER_BIN [CHAT_BIN]]
#   (default build/bin/server and build/bin/chat)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac

root=$(cd "$(dirname "$0")/../.." && pwd)
server_bin=$(realpath "${1:-$root/build/bin/server}")
chat_bin=$(realpath "${2:-$root/build/bin/chat}")
for tool in pebble pebble-challtestsrv certbot openssl python3; do
  command -v "$tool" >/dev/null || { echo "acme-certbot: no $tool (scripts/deps.sh installs it)" >&2; exit 1; }
done

# Everything here is on loopback: no proxy in between.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
test_name=acme-certbot
# shellcheck source=tests/integration/script-lib.sh
. "$(dirname "$0")/script-lib.sh"

# wait_for FILE TEXT [COUNT]: until FILE holds TEXT COUNT times (1), 10 s at most.
wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    [ "$(grep -cF -- "$2" "$1" 2>/dev/null)" -ge "${3:-1}" ] && return 0
    sleep 0.1
  done
  fail "no '$2' in $(basename "$1") within 10 s"
}

# Free loopback ports, one per name.
read -r acme_port mgmt_port dns_port chall_port http_port tls_port < <(python3 -c '
import socket
socks = [socket.socket() for _ in range(6)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')

# pebble's own HTTPS certificate, which certbot is told to trust.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=pebble" \
  -addext "subjectAltName=IP:127.0.0.1" -keyout "$work/pebble.key" -out "$work/pebble.crt" \
  2>"$work/openssl.log" || fail "pebble's certificate"
cat >"$work/pebble.json" <<EOF
{"pebble": {"listenAddress": "127.0.0.1:$acme_port", "managementListenAddress": "127.0.0.1:$mgmt_port",
  "certificate": "$work/pebble.crt", "privateKey": "$work/pebble.key",
  "httpPort": $http_port, "tlsPort": $tls_port, "ocspResponderURL": "",
  "externalAccountBindingRequired": false}}
EOF
pebble-challtestsrv -defaultIPv4 127.0.0.1 -defaultIPv6 "" -dns01 "127.0.0.1:$dns_port" \
  -http01 "" -https01 "" -tlsalpn01 "" -management "127.0.0.1:$chall_port" >"$work/challtestsrv.log" 2>&1 &
pids+=($!)
# No random waits before validating, no refused nonces, a fresh validation
# for every order (the renewal's too).
PEBBLE_VA_NOSLEEP=1 PEBBLE_WFE_NONCEREJECT=0 PEBBLE_AUTHZREUSE=0 \
  pebble -config "$work/pebble.json" -dnsserver "127.0.0.1:$dns_port" >"$work/pebble.log" 2>&1 &
pids+=($!)
wait_for "$work/challtestsrv.log" "Starting challenge servers"
wait_for "$work/pebble.log" "Listening on"

# A room with the development set, served on loopback only.
room=$work/room
mkdir -p "$room"
"$root/scripts/make-dev-certs.sh" "$room/certs" >"$work/make-dev-certs.log"
(cd "$room" && exec "$server_bin" --listen 127.0.0.1 --web 0 --web-listen 127.0.0.1 0) \
  >"$work/server.log" 2>&1 &
server_pid=$!
pids+=("$server_pid")
wait_for "$work/server.log" "[+] Web page at https://"
chat_port=$(sed -n 's/^\[+\] Server is working at \([0-9]*\)$/\1/p' "$work/server.log")
web_port=$(sed -n 's|^\[+\] Web page at https://localhost:\([0-9]*\)/$|\1|p' "$work/server.log")
[ -n "$chat_port" ] && [ -n "$web_port" ] || fail "no ports in the server's notices"

# pebble makes a new root each run; its management interface serves it.
python3 - "https://127.0.0.1:$mgmt_port/roots/0" "$work/pebble.crt" >"$work/root.pem" <<'EOF' ||
import ssl, sys, urllib.request
context = ssl.create_default_context(cafile=sys.argv[2])
sys.stdout.write(urllib.request.urlopen(sys.argv[1], context=context, timeout=10).read().decode())
EOF
  fail "pebble's root"

hook=$work/certbot-deploy-hook
sed 's|@SAFEROOM_CONFDIR@|/nonexistent|g; s|@SAFEROOM_HOOK@|certbot-deploy-hook|g' \
  "$root/packaging/certbot-deploy-hook.in" >"$hook"
chmod 755 "$hook"
export SAFEROOM_CERTS_DIR=$room/certs
export SAFEROOM_CERTS_OWNER="$(id -un):$(id -gn)"
export SAFEROOM_RELOAD="kill -HUP $server_pid"
export REQUESTS_CA_BUNDLE=$work/pebble.crt
certbot_common=(--config-dir "$work/certbot/config" --work-dir "$work/certbot/work"
                --logs-dir "$work/certbot/logs" --non-interactive)

# served PORT: the serial of the certificate PORT serves, verified against
# pebble's root for the name localhost.
served() {
  local out
  out=$(openssl s_client -connect "127.0.0.1:$1" -servername localhost -verify_hostname localhost \
    -CAfile "$work/root.pem" -verify_return_error </dev/null 2>"$work/s_client.log") ||
    fail "port $1's certificate does not verify against pebble's root"
  openssl x509 -noout -serial <<<"$out"
}

# check STEP COUNT: the hook ran (COUNT reloads so far), certs/ holds
# certbot's certificate with the right mode, both ports serve it, and chat
# verifies it and gets into the room.
check() {
  wait_for "$work/server.log" "[+] Certificates reloaded" "$2"
  grep -q "Reload failed" "$work/server.log" && fail "$1: the server refused the new files"
  local live=$work/certbot/config/live/localhost
  cmp -s "$live/fullchain.pem" "$room/certs/server.crt" || fail "$1: certs/server.crt is not the new chain"
  cmp -s "$live/privkey.pem" "$room/certs/server.key" || fail "$1: certs/server.key is not the new key"
  for f in server.crt server.key; do
    [ "$(stat -c %a "$room/certs/$f")" = 640 ] || fail "$1: $f has mode $(stat -c %a "$room/certs/$f")"
  done
  [ "$(openssl pkey -in "$room/certs/server.key" -noout -text | head -n 1)" = "Private-Key: (2048 bit, 2 primes)" ] ||
    fail "$1: not an RSA key"
  issued=$(openssl x509 -in "$live/cert.pem" -noout -serial)
  for port in "$chat_port" "$web_port"; do
    [ "$(served "$port")" = "$issued" ] || fail "$1: port $port does not serve the new certificate"
  done
  printf 'hello after %s\n' "$1" |
    timeout 20 "$chat_bin" --ca "$work/root.pem" localhost "$chat_port" "acme-$1" >"$work/chat.log" 2>&1 ||
    fail "$1: chat could not verify the server or get in"
  grep -q "<acme-$1> hello after $1" "$work/chat.log" || fail "$1: chat's message did not come back"
}

certbot certonly "${certbot_common[@]}" --server "https://127.0.0.1:$acme_port/dir" \
  --agree-tos --register-unsafely-without-email --standalone \
  --http-01-address 127.0.0.1 --http-01-port "$http_port" --key-type rsa -d localhost \
  --deploy-hook "$hook" >"$work/certbot.log" 2>&1 || fail "certbot certonly"
grep -q "authz .* set VALID by completed challenge" "$work/pebble.log" || fail "pebble validated nothing"
check issue 1
first=$issued

certbot renew "${certbot_common[@]}" --force-renewal --no-random-sleep-on-renew \
  >"$work/certbot-renew.log" 2>&1 || fail "certbot renew"
check renewal 2
[ "$issued" != "$first" ] || fail "the renewal served the first certificate again"
[ "$(grep -c "set VALID by completed challenge" "$work/pebble.log")" -ge 2 ] ||
  fail "the renewal was not validated again"
echo "acme-certbot: issued, deployed, reloaded and renewed ($first, then $issued)"
