#!/bin/sh
# Makes the tests' TLS certificates in this folder, each an EC P-256 key and
# a certificate valid from 2000 to 2125:
#   test-ca.crt                the tests' own CA, which their HTTP clients trust
#   trusted-127.0.0.1.pem      a certificate for 127.0.0.1 signed by that CA, and its key
#   velk.example.pem           a certificate for another host, velk.example, signed by that CA, and its key
#   self-signed-127.0.0.1.pem  a certificate for 127.0.0.1 that signs itself, and its key
# The CA's key is thrown away: to add a certificate, run this again and
# commit all four files.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
touch "$tmp/index"
openssl rand -hex 8 > "$tmp/serial"
cat > "$tmp/ca.cnf" <<CNF
[ca]
default_ca = test
[test]
database = $tmp/index
new_certs_dir = $tmp
serial = $tmp/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
CNF

# certificate NAME EXTENSIONS OUT SIGNER: a key for NAME in OUT.key and its
# certificate in OUT.crt, with the extensions (split at ";"), signed as
# SIGNER says to "openssl ca".
certificate() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$3.key"
    openssl req -new -key "$3.key" -subj "/CN=$1" -out "$3.csr"
    printf '%s\n' "$2" | tr ';' '\n' > "$3.ext"
    # shellcheck disable=SC2086
    openssl ca -batch -config "$tmp/ca.cnf" $4 -in "$3.csr" -out "$3.crt" -notext \
        -startdate 20000101000000Z -enddate 21250101000000Z -extfile "$3.ext" 2> "$tmp/log" || { cat "$tmp/log"; exit 1; }
}

certificate "Velk Test CA" "basicConstraints=critical,CA:TRUE;keyUsage=critical,keyCertSign" "$tmp/ca" "-selfsign -keyfile $tmp/ca.key"
byCA="-cert $tmp/ca.crt -keyfile $tmp/ca.key"
certificate 127.0.0.1 "subjectAltName=IP:127.0.0.1;extendedKeyUsage=serverAuth" "$tmp/trusted" "$byCA"
certificate velk.example "subjectAltName=DNS:velk.example;extendedKeyUsage=serverAuth" "$tmp/other" "$byCA"
certificate 127.0.0.1 "subjectAltName=IP:127.0.0.1;extendedKeyUsage=serverAuth" "$tmp/self" "-selfsign -keyfile $tmp/self.key"

cp "$tmp/ca.crt" test-ca.crt
cat "$tmp/trusted.crt" "$tmp/trusted.key" > trusted-127.0.0.1.pem
cat "$tmp/other.crt" "$tmp/other.key" > velk.example.pem
cat "$tmp/self.crt" "$tmp/self.key" > self-signed-127.0.0.1.pem
