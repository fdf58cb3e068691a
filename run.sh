#!/usr/bin/env bash
# Installs what is missing, builds the server and the chat client, makes
# development certificates when certs/ lacks them, and starts the server
# from the repo root, with the web page, and says where to open it.
# Usage: ./run.sh [--web PORT | --no-web] [--lan] [port]
#   port        the chat port (default 7000)
#   --web PORT  the web page's port (default 7443)
#   --no-web    no web page
#   --lan       certificates that also name this machine's host name and
#               network addresses (scripts/make-dev-certs.sh --lan), so that
#               a phone or laptop on the same network can open the page;
#               when certs/ is made, that is (it is never replaced)
set -euo pipefail
usage() {
  echo "Usage: ./run.sh [--web PORT | --no-web] [--lan] [port]; try './run.sh --help'" >&2
  exit 2
}
cd "$(dirname "$0")"

port=7000
web=7443
lan=()
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;;
    --web) [ $# -ge 2 ] || usage; web=$2; shift 2 ;;
    --web=*) web=${1#--web=}; shift ;;
    --no-web) web=; shift ;;
    --lan) lan=(--lan); shift ;;
    -*) usage ;;
    *) port=$1; shift; [ $# -eq 0 ] || usage ;;
  esac
done

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target server chat

if [ ! -e certs/ca.crt ] || [ ! -e certs/server.crt ] || [ ! -e certs/server.key ]; then
  scripts/make-dev-certs.sh "${lan[@]}" certs
fi

if [ -z "$web" ]; then
  exec build/bin/server "$port"
fi
# The page's address for another device: the certificate's first IPv4
# address that is not loopback (a phone finds it without DNS), else its
# first host name but localhost.
names=$(openssl x509 -in certs/server.crt -noout -ext subjectAltName 2>/dev/null |
  tail -n +2 | tr ',' '\n' | sed 's/^ *//')
far=$(sed -n 's/^IP Address:\([0-9.]*\)$/\1/p' <<<"$names" | grep -v '^127\.' | head -n 1 || true)
[ -n "$far" ] || far=$(sed -n 's/^DNS://p' <<<"$names" | grep -vx 'localhost' | head -n 1 || true)
if [ -n "$far" ]; then
  echo "The web page: https://$far:$web/ from a phone or computer on this network, or"
  echo "https://localhost:$web/ here, once the browser trusts certs/ca.crt (README: From a browser)."
else
  echo "The web page: https://localhost:$web/ here, once the browser trusts certs/ca.crt"
  echo "(README: From a browser). For other devices, ./run.sh --lan makes certificates that"
  echo "name this machine, when there is no certs/ yet."
fi
exec build/bin/server --web "$web" "$port"
