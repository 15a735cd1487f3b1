#!/bin/sh
# npm-fetch.sh NAME VERSION INTEGRITY DEST: downloads NAME@VERSION from the
# npm registry, refuses it unless its sha512 matches INTEGRITY, unpacks it
# into DEST/package.
set -eu
name=$1 version=$2 integrity=$3 dest=$4
mkdir -p "$dest"
cd "$dest"
tarball=$(npm pack --silent "$name@$version")
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$actual" != "$integrity" ]; then
  echo "npm-fetch: integrity mismatch for $name@$version: $actual" >&2
  exit 1
fi
tar xzf "$tarball"
rm -f "$tarball"
