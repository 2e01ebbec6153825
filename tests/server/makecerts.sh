#!/usr/bin/env bash
# Makes the test server's short-lived TLS certificates in DIR (fresh for each test run):
#   ca.der            the test authority, which the test prefix trusts
#   good.pem/.key     127.0.0.1 and localhost, issued by the test authority
#   wronghost.pem     another host name only (wrong.invalid), same authority
#   unknown.pem       127.0.0.1, issued by an authority nobody trusts
#   chained.pem       127.0.0.1, issued by an intermediate of the test authority (sent along)
#   expired.pem       127.0.0.1, test authority, expired a day ago
#   otherpurpose.pem  127.0.0.1, test authority, for client authentication only
# Usage: tests/server/makecerts.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
ssl() { openssl "$@" 2>/dev/null; }
authority() { # NAME
  ssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=QIM test authority $1 $RANDOM" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$1.key" -out "$1.pem"
}
issue() { # NAME AUTHORITY SUBJECT_ALT_NAMES [DAYS [PURPOSE]]
  ssl req -new -key server.key -subj "/CN=$1" -out "$1.csr"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=%s\n' "$3" "${5:-serverAuth}" >"$1.ext"
  ssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "${4:-2}" \
    -extfile "$1.ext" -out "$1.pem"
  cat "$2.pem" >>"$1.pem" # the chain up to its authority
}
authority ca
authority stranger
ssl genrsa -out server.key 2048
issue good ca "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
issue wronghost ca "DNS:wrong.invalid"
issue unknown stranger "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
# An intermediate authority under the test authority (its chain file ends with it, not the root).
ssl req -new -newkey rsa:2048 -nodes -keyout middle.key -subj "/CN=QIM test intermediate $RANDOM" \
  -out middle.csr
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >middle.ext
ssl x509 -req -in middle.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile middle.ext \
  -out middle.pem
issue chained middle "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
issue expired ca "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost" -1
issue otherpurpose ca "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost" 2 clientAuth
ssl x509 -in ca.pem -outform der -out ca.der
rm -f ./*.csr ./*.ext ./*.srl stranger.key middle.key
