#!/usr/bin/env bash
# Makes a fresh Secure Boot key set in DIR for firmware that takes the owner's
# own keys: a platform key (PK), a key-exchange key (KEK) and a signature
# database key (db).
#
#   make-keys.sh DIR
#
# For each NAME of PK, KEK and db, DIR gets:
#   NAME.key    the private key, PEM (RSA 2048), mode 0600
#   NAME.crt    its self-signed certificate, PEM (SHA-256, ten years)
#   NAME.esl    the certificate as an EFI signature list
#   NAME.auth   a time-based authenticated write of the variable NAME, signed
#               by its parent: PK by itself, KEK by PK, db by KEK
# and db.cer, the db certificate in DER, for `mokutil --import db.cer`.
# All three signature lists carry one owner GUID, made afresh.
#
# DIR is made when it does not exist. A DIR that holds anything is refused,
# and nothing is written into DIR unless the whole set was made.
# Needs openssl and efitools (cert-to-efi-sig-list, sign-efi-sig-list).
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

source "$(dirname "$0")/common.sh"

parse_options -- "$@"
[ ${#ARGUMENTS[@]} -eq 1 ] || fail "usage: make-keys.sh DIR"
dir=${ARGUMENTS[0]}
for tool in openssl cert-to-efi-sig-list sign-efi-sig-list; do
  command -v "$tool" >/dev/null || fail "$tool is missing (packages openssl, efitools)"
done

names=(PK KEK db)
outputs=()
for name in "${names[@]}"; do outputs+=("$name.key" "$name.crt" "$name.esl" "$name.auth"); done
outputs+=(db.cer)

# A key set among other files is easily copied or published with them, so
# DIR must be empty.
refuse_filled() {
  local file entry
  for file in "${outputs[@]}"; do
    [ ! -e "$dir/$file" ] || fail "$dir already holds keys ($file); choose an empty directory"
  done
  entry=$(find "$dir" -mindepth 1 -maxdepth 1 -printf '%f\n' -quit 2>/dev/null)
  [ -z "$entry" ] || fail "$dir is not empty (it holds $entry); choose an empty directory"
}
if [ -e "$dir" ]; then
  [ -d "$dir" ] || fail "$dir is not a directory"
  refuse_filled
  [ -w "$dir" ] || fail "cannot write into $dir"
else
  # The nearest directory that exists must take the new one.
  parent=$(dirname -- "$dir")
  while [ ! -e "$parent" ]; do parent=$(dirname -- "$parent"); done
  [ -d "$parent" ] && [ -w "$parent" ] || fail "cannot make $dir (cannot write into $parent)"
fi

# The set is made in a directory of its own and moved into DIR only when
# every step worked.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/log
umask 077

# Runs one tool; on failure its last line of output says why.
step() {
  "$@" >"$log" 2>&1 || fail "$1 failed: $(grep . "$log" | tail -n 1 || echo "no message")"
}

guid=$(cat /proc/sys/kernel/random/uuid)
for name in "${names[@]}"; do
  step openssl req -new -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -subj "/CN=quillmere $name/" -keyout "$work/$name.key" -out "$work/$name.crt"
  step cert-to-efi-sig-list -g "$guid" "$work/$name.crt" "$work/$name.esl"
done
step openssl x509 -in "$work/db.crt" -outform DER -out "$work/db.cer"
# Each authenticated write names its variable and is signed by the key that
# the firmware checks it against once PK is set.
parents=(PK PK KEK)
for index in 0 1 2; do
  name=${names[$index]} parent=${parents[$index]}
  step sign-efi-sig-list -g "$guid" -k "$work/$parent.key" -c "$work/$parent.crt" \
    "$name" "$work/$name.esl" "$work/$name.auth"
done

chmod 0600 "$work"/*.key
chmod 0644 "$work"/*.crt "$work"/*.esl "$work"/*.auth "$work/db.cer"
mkdir -p "$dir" 2>/dev/null || fail "cannot make $dir"
# Files that appeared while the set was made are not overwritten either.
refuse_filled
moved=()
for file in "${outputs[@]}"; do
  if ! mv "$work/$file" "$dir/$file" 2>"$log"; then
    for done_file in "${moved[@]}"; do rm -f "$dir/$done_file"; done
    fail "cannot write $dir/$file"
  fi
  moved+=("$file")
done
echo "$dir: PK, KEK and db as .key, .crt, .esl and .auth; db.cer for mokutil --import"
