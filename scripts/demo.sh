#!/usr/bin/env bash
# Builds mgmtfetch, starts the stand-in management server on loopback, asks
# it for its version and downloads its client package into ./demo-download.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null

work=$(mktemp -d)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/packages/linuxsetup"
head -c 3000000 /dev/urandom >"$work/packages/linuxsetup/mgmt-client.tar.gz"
python3 standin/mgmt-standin --listen 127.0.0.1 --http-port 0 \
  --package-dir "$work/packages" --ready-file "$work/ready" &
server_pid=$!
for _ in $(seq 100); do [ -s "$work/ready" ] && break; sleep 0.1; done
port=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["http"])' "$work/ready")

echo "\$ mgmtfetch -a 127.0.0.1:$port -w"
build/mgmtfetch -a "127.0.0.1:$port" -w
echo
mkdir -p demo-download
url="http://127.0.0.1:$port/linuxsetup/mgmt-client.tar.gz"
echo "\$ (cd demo-download && mgmtfetch -d $url)"
status=0
(cd demo-download && ../build/mgmtfetch -d "$url") || status=$?
echo "exit status $status"
ls -l demo-download/mgmt-client.tar.gz
cmp demo-download/mgmt-client.tar.gz "$work/packages/linuxsetup/mgmt-client.tar.gz" &&
  echo "the saved package matches the server's byte for byte"
