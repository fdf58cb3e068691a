#!/usr/bin/env bash
# Builds the Debian package from a build directory and checks it without
# installing it: name, contents, dependencies, maintainer scripts, the
# unpacked programs' --version and --help, the man pages, and the systemd units
# (systemd-analyze verify, where the tool is). Leaves nothing behind.
# Usage: scripts/package-test.sh [BUILD_DIR]   (default build)
set -euo pipefail
case ${1:-} in -h | --help) sed -n '2,/^set -euo/{/^set /d;s/^# \{0,1\}//;p;}' "$0"; exit 0 ;; esac
cd "$(dirname "$0")/.."

build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$work/out/saferoom_${version}_$(dpkg --print-architecture).deb
if ! (cd "$build" && timeout 600 cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G DEB in $build"
fi
[ -f "$deb" ] || fail "cpack made no $(basename "$deb")"

# Exactly these files (directories aside): nothing missing, nothing stray.
expected="./etc/saferoom/saferoom.env
./usr/bin/saferoom
./usr/lib/saferoom/certbot-deploy-hook
./usr/lib/systemd/system/saferoom.service
./usr/lib/systemd/system/saferoom.socket
./usr/sbin/saferoom-add-member
./usr/sbin/saferoom-members
./usr/sbin/saferoom-remove-member
./usr/sbin/saferoom-server
./usr/share/doc/saferoom/copyright
./usr/share/man/man1/saferoom.1.gz
./usr/share/man/man8/saferoom-server.8.gz
./usr/share/saferoom/certs-lib.sh
./usr/share/saferoom/members-lib.sh
./usr/share/saferoom/paths.sh"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
[ "$files" = "$expected" ] || fail "package files differ: $(diff <(echo "$expected") <(echo "$files"))"
dpkg-deb -c "$deb" | awk '{print $6}' | grep -qx './etc/saferoom/certs/' || fail "no certs/ directory"

# Dependencies come from the linked libraries.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libssl3 libstdc++6; do
  [[ $depends == *"$lib "* ]] || fail "Depends lacks $lib: $depends"
done
dpkg-deb -e "$deb" "$work/control"
grep -qx /etc/saferoom/saferoom.env "$work/control/conffiles" || fail "saferoom.env is no conffile"
for script in postinst prerm postrm; do
  sh -n "$work/control/$script" || fail "$script does not parse"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
# Each calls itself by its installed name.
for prog in usr/sbin/saferoom-server usr/bin/saferoom; do
  name=$(basename "$prog")
  out=$(timeout 10 "$root/$prog" --version) || fail "$prog --version"
  [ "$out" = "$name (saferoom) $version" ] || fail "$prog --version says: $out"
  out=$(timeout 10 "$root/$prog" --help) || fail "$prog --help"
  grep -q "^Usage: $name " <<<"$out" || fail "$prog --help says: $out"
done
# The member scripts find their library and the package's paths, and name
# themselves and each other as installed.
for script in saferoom-add-member saferoom-remove-member saferoom-members; do
  out=$("$root/usr/sbin/$script" --help) || fail "$script --help"
  grep -q '^Usage: ' <<<"$out" || fail "$script --help says: $out"
  out=$("$root/usr/sbin/$script" --bad x 2>&1) && fail "$script --bad x worked"
  grep -q "^Usage: $script " <<<"$out" || fail "$script names itself otherwise: $out"
done
grep -qx 'statedir=/var/lib/saferoom' "$root/usr/share/saferoom/paths.sh" || fail "paths.sh: $(cat "$root/usr/share/saferoom/paths.sh")"
for page in man1/saferoom.1 man8/saferoom-server.8; do
  name=$(basename "$page")
  title=$(echo "${name%.*}" | tr '[:lower:]' '[:upper:]')
  text=$(zcat "$root/usr/share/man/$page.gz")
  grep -q "^\.TH $title \"${name##*.}\"" <<<"$text" || fail "$page has no title line"
  grep -q '^\.SH OPTIONS' <<<"$text" || fail "$page has no options"
done

# The unit's paths are in the package; its port needs no privilege.
unit=$root/usr/lib/systemd/system/saferoom.service
envfile=$(sed -n 's/^EnvironmentFile=//p' "$unit")
workdir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
[ -f "$root$envfile" ] || fail "EnvironmentFile $envfile is not in the package"
[ -d "$root$workdir/certs" ] || fail "WorkingDirectory $workdir has no certs/"
port=$(sed -n 's/^PORT=//p' "$root$envfile")
[ "$port" -ge 1024 ] || fail "PORT=$port needs a capability the unit does not grant"
grep -q '^RestrictAddressFamilies=.*AF_INET6' "$unit" || fail "the unit forbids IPv6"
grep -qx 'StateDirectory=saferoom' "$unit" || fail "the unit has no state directory"
grep -q '^ExecStart=.* --state /var/lib/saferoom ' "$unit" || fail "the server is not given its state directory"
# The socket unit opens the port the environment file names.
socket=$root/usr/lib/systemd/system/saferoom.socket
[ "$(sed -n 's/^ListenStream=//p' "$socket")" = "$port" ] || fail "saferoom.socket does not listen on PORT=$port"
# certbot's deploy hook: certbot's files (here a fake lineage) land in the
# unit's certs/ as the hook's overrides point it, and the reload runs.
hook=$root/usr/lib/saferoom/certbot-deploy-hook
[ -x "$hook" ] || fail "the deploy hook is not executable"
sh -n "$hook" || fail "the deploy hook does not parse"
grep -q "^dir=\${SAFEROOM_CERTS_DIR:-$workdir/certs}$" "$hook" || fail "the deploy hook's certs/ is not $workdir/certs"
grep -q -- "--deploy-hook /usr/lib/saferoom/certbot-deploy-hook$" "$hook" || fail "the deploy hook names another path"
mkdir -p "$work/lineage" "$work/hook-certs"
echo chain >"$work/lineage/fullchain.pem"
echo key >"$work/lineage/privkey.pem"
RENEWED_LINEAGE=$work/lineage SAFEROOM_CERTS_DIR=$work/hook-certs SAFEROOM_CERTS_OWNER="$(id -un):$(id -gn)" \
  SAFEROOM_RELOAD="touch '$work/reloaded'" "$hook" || fail "the deploy hook failed"
[ "$(cat "$work/hook-certs/server.crt") $(cat "$work/hook-certs/server.key")" = "chain key" ] ||
  fail "the deploy hook did not copy the chain and the key"
[ "$(stat -c %a "$work/hook-certs/server.key")" = 640 ] || fail "the deploy hook left server.key $(stat -c %a "$work/hook-certs/server.key")"
[ -e "$work/reloaded" ] || fail "the deploy hook did not reload"
[ "$(ls -A "$work/hook-certs" | wc -l)" = 2 ] || fail "the deploy hook left files behind: $(ls -A "$work/hook-certs")"

if command -v systemd-analyze >/dev/null 2>&1; then
  # verify wants ExecStart to exist: point it into the unpacked tree. The
  # socket unit is checked with the service it starts beside it.
  mkdir "$work/unit"
  sed "s|^ExecStart=/|ExecStart=$root/|" "$unit" >"$work/unit/saferoom.service"
  cp "$socket" "$work/unit/saferoom.socket"
  out=$(systemd-analyze verify --man=no "$work/unit/saferoom.service" "$work/unit/saferoom.socket" 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
  echo "package-test: systemd-analyze not found, unit not verified"
fi
echo "package-test: $(basename "$deb") passed"
