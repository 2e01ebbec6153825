#!/usr/bin/env bash
# Makes the test server's short-lived TLS certificates in DIR (fresh for each test run):
#   ca.der            the test authority, which the test prefix trusts
#   good.pem/.key     127.0.0.1 and localhost, issued by the test authority
#   wronghost.pem     another host name only (wrong.invalid), same authority
#   unknown.pem       127.0.0.1, issued by an authority nobody trusts
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
issue() { # NAME AUTHORITY SUBJECT_ALT_NAMES
  ssl req -new -key server.key -subj "/CN=$1" -out "$1.csr"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" >"$1.ext"
  ssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 2 \
    -extfile "$1.ext" -out "$1.pem"
  cat "$2.pem" >>"$1.pem" # the chain up to its authority
}
authority ca
authority stranger
ssl genrsa -out server.key 2048
issue good ca "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
issue wronghost ca "DNS:wrong.invalid"
issue unknown stranger "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"
ssl x509 -in ca.pem -outform der -out ca.der
rm -f ./*.csr ./*.ext ./*.srl stranger.key
