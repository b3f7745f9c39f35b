#!/usr/bin/env bash
# Makes a certificate authority, the router's certificate and one certificate per peer with the
# openssl command, for tests and for a first deployment.
#
#   scripts/make-certs.sh DIR [NAME=UUID:KIND[,KIND...] ...]
#
# DIR/ca.pem, DIR/ca.key        the CA
# DIR/certificate.pem,          the router's certificate and key, for 127.0.0.1, localhost and
#   DIR/private_key.pem         the names in ROUTER_HOSTS (space-separated DNS names or addresses)
#                               (the CA and the router's pair are kept when DIR holds them, so a
#                               later run adds peers)
# DIR/NAME.pem, DIR/NAME.key    one per peer: the UUID as subject CN and as the URI urn:uuid:UUID,
#                               one subject OU per kind it may hand-shake as: agent,
#                               module-server, server-platform, web
#
# CERT_DAYS (default 825) sets the validity of the certificates made in this run; a negative
# value makes certificates that have already expired. Keys are EC P-256; keys are readable by the
# owner only.
set -euo pipefail

if [ $# -lt 1 ]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
fi
dir=$1
shift
days=${CERT_DAYS:-825}
mkdir -p "$dir"
umask 077
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

new_key() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
}

# sign NAME SUBJECT EXTENSIONS: DIR/NAME.key and a certificate DIR/NAME.pem signed by the CA.
sign() {
    local key=$dir/$1.key cert=$dir/$1.pem
    new_key "$key"
    openssl req -new -key "$key" -subj "$2" -out "$scratch/$1.csr"
    printf '%s\n' "$3" >"$scratch/$1.ext"
    openssl x509 -req -in "$scratch/$1.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
        -CAcreateserial -CAserial "$scratch/ca.srl" -days "$days" -sha256 \
        -extfile "$scratch/$1.ext" -out "$cert" 2>/dev/null
}

if [ ! -f "$dir/ca.pem" ] || [ ! -f "$dir/ca.key" ]; then
    new_key "$dir/ca.key"
    openssl req -x509 -new -key "$dir/ca.key" -subj "/CN=rt_server peers CA" -days 3650 \
        -sha256 -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$dir/ca.pem"
fi

if [ ! -f "$dir/certificate.pem" ] || [ ! -f "$dir/private_key.pem" ]; then
    names="DNS:localhost,IP:127.0.0.1"
    for host in ${ROUTER_HOSTS:-}; do
        if [[ $host =~ ^[0-9.]+$ ]]; then names+=",IP:$host"; else names+=",DNS:$host"; fi
    done
    sign router "/CN=rt_server" "subjectAltName=$names
extendedKeyUsage=serverAuth"
    mv "$dir/router.pem" "$dir/certificate.pem"
    mv "$dir/router.key" "$dir/private_key.pem"
fi

for spec in "$@"; do
    if ! [[ $spec =~ ^([A-Za-z0-9_.-]+)=([^:/]+):([a-z,-]*)$ ]]; then
        echo "make-certs: bad peer '$spec', expected NAME=UUID:KIND[,KIND...]" >&2
        exit 2
    fi
    name=${BASH_REMATCH[1]} uuid=${BASH_REMATCH[2]} kinds=${BASH_REMATCH[3]}
    subject="/CN=$uuid"
    IFS=, read -ra kind_list <<<"$kinds"
    for kind in "${kind_list[@]}"; do
        case $kind in
            agent | module-server | server-platform | web) subject+="/OU=$kind" ;;
            *) echo "make-certs: unknown kind '$kind' in '$spec'" >&2; exit 2 ;;
        esac
    done
    sign "$name" "$subject" "subjectAltName=URI:urn:uuid:$uuid
extendedKeyUsage=clientAuth"
done
