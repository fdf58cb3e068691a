# Certificate helpers shared by make-dev-certs.sh, add-member.sh and the
# tests' chain maker. Sourced; the caller sets `work` to a temp dir it removes.

days=825

# quietly CMD...: runs openssl without its progress dots, showing them on failure.
quietly() {
  "$@" 2>"$work/openssl.log" || { cat "$work/openssl.log" >&2; exit 1; }
}

# keyopts ALG: the `openssl req` options for a new key: rsa (2048) or ec (P-256).
keyopts() {
  case $1 in
    rsa) echo "-newkey rsa:2048" ;;
    ec) echo "-newkey ec -pkeyopt ec_paramgen_curve:P-256" ;;
    *) echo "unknown key type $1" >&2; exit 1 ;;
  esac
}

# make_ca OUT SUBJECT [ALG [EXTENSION]]: a self-signed CA, $work/OUT.crt and
# $work/OUT.key; EXTENSION (such as its name constraints) goes in as well.
make_ca() {
  local extra=()
  [ -z "${4:-}" ] || extra=(-addext "$4")
  # shellcheck disable=SC2046
  quietly openssl req -x509 $(keyopts "${3:-rsa}") -nodes -sha256 -days "$days" \
    -subj "$2" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" "${extra[@]}" \
    -keyout "$work/$1.key" -out "$work/$1.crt"
}

# sign OUT SUBJECT EXTENSIONS CA_CRT CA_KEY [ALG]: a new key and a certificate
# from that CA, $work/OUT.crt and $work/OUT.key.
sign() {
  local out=$1 subject=$2 extensions=$3 cacrt=$4 cakey=$5 alg=${6:-rsa}
  printf '%s\n' "$extensions" >"$work/$out.ext"
  # shellcheck disable=SC2046
  quietly openssl req -new $(keyopts "$alg") -nodes -sha256 -utf8 -subj "$subject" \
    -keyout "$work/$out.key" -out "$work/$out.csr"
  quietly openssl x509 -req -sha256 -days "$days" -in "$work/$out.csr" \
    -CA "$cacrt" -CAkey "$cakey" -set_serial "0x$(openssl rand -hex 16)" \
    -extfile "$work/$out.ext" -out "$work/$out.crt"
}

# install_pair NAME DIR [AS]: moves $work/NAME.key and .crt into DIR (as
# AS.key and AS.crt) without replacing anything.
install_pair() {
  local name=$1 dir=$2 as=${3:-$1}
  chmod 600 "$work/$name.key"
  chmod 644 "$work/$name.crt"
  mv -n "$work/$name.key" "$dir/$as.key"
  mv -n "$work/$name.crt" "$dir/$as.crt"
  echo "made $dir/$as.crt, $dir/$as.key"
}

# The extensions of a client certificate. Its DNS name is one no site can
# have (.invalid never resolves), inside the development CA's name
# constraints: without a DNS name OpenSSL checks a CN that looks like a host
# name (a member called j.doe) against them, and the member would fail.
member_dns=member.invalid
client_extensions="basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=clientAuth
subjectAltName=DNS:$member_dns"

# The room's CA database, for `openssl ca`: an index of the certificates it
# issued (so that they can be revoked), copies of them, and the CRL number,
# in CA_DIR/ca-db/. Made when missing; the members' scripts use it.
ca_db() {
  local db=$1/ca-db
  mkdir -p "$db/issued"
  [ -e "$db/index.txt" ] || : >"$db/index.txt"
  # The same name may be issued again once the earlier one is revoked.
  [ -e "$db/index.txt.attr" ] || echo "unique_subject = no" >"$db/index.txt.attr"
  [ -e "$db/crlnumber" ] || echo 1000 >"$db/crlnumber"
}

# ca_config CA_DIR: $work/ca.cnf, the `openssl ca` configuration for the CA
# in CA_DIR (ca.crt, ca.key) and its database.
ca_config() {
  ca_db "$1"
  # The CRL's next-update date means nothing to the server (it keeps using
  # the list); ten years keeps other tools quiet.
  cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = room
[room]
dir = $1/ca-db
database = \$dir/index.txt
new_certs_dir = \$dir/issued
certificate = $1/ca.crt
private_key = $1/ca.key
crlnumber = \$dir/crlnumber
default_md = sha256
default_days = $days
default_crl_days = 3650
rand_serial = yes
unique_subject = no
copy_extensions = none
policy = any_name
preserve = yes
[any_name]
commonName = supplied
CNF
}

# ca_sign OUT SUBJECT EXTENSIONS CA_DIR: as `sign`, but issued with
# `openssl ca`, so that the certificate is in CA_DIR's index.
ca_sign() {
  local out=$1 subject=$2 extensions=$3 cadir=$4
  ca_config "$cadir"
  printf '%s\n' "$extensions" >"$work/$out.ext"
  # shellcheck disable=SC2046
  quietly openssl req -new $(keyopts rsa) -nodes -sha256 -utf8 -subj "$subject" \
    -keyout "$work/$out.key" -out "$work/$out.csr"
  quietly openssl ca -batch -notext -utf8 -config "$work/ca.cnf" -extfile "$work/$out.ext" \
    -in "$work/$out.csr" -out "$work/$out.crt"
}

# cert_cn FILE: the subject CN of a certificate, as UTF-8.
cert_cn() {
  openssl x509 -in "$1" -noout -subject -nameopt sep_multiline,utf8,-esc_msb 2>/dev/null |
    sed -n 's/^ *CN=//p' | head -n 1
}
