#!/usr/bin/env bash
# Builds the Debian package from a release build in build-pkg and checks it:
# exactly the binary and the manual page under /usr, a dependency on the
# package that provides the libcurl the binary really links, a binary that
# runs from the unpacked tree, and a manual page that renders cleanly. Also
# checks that `cmake --install` puts the same two files under a prefix.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "package check failed: $*" >&2; exit 1; }

cmake -S . -B build-pkg -G Ninja -DCMAKE_BUILD_TYPE=Release -DMGMTFETCH_TESTS=OFF
cmake --build build-pkg
rm -f build-pkg/*.deb
(cd build-pkg && cpack -G DEB)
debs=(build-pkg/mgmtfetch_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, got: ${debs[*]}"
deb="${debs[0]}"
echo "== $deb"
dpkg-deb -f "$deb"
dpkg-deb -c "$deb"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Contents: the two files and their directories, nothing else.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $NF}')
expected=$'-rwxr-xr-x ./usr/bin/mgmtfetch\n-rw-r--r-- ./usr/share/man/man1/mgmtfetch.1.gz'
[ "$files" = "$expected" ] || fail $'unexpected contents:\n'"$files"

# Control fields.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
[ "$(dpkg-deb -f "$deb" Package)" = mgmtfetch ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
libcurl=$(ldd build-pkg/mgmtfetch | awk '/libcurl/ {print $3}')
[ -n "$libcurl" ] || fail "the binary does not link libcurl"
curl_package=$(dpkg -S "$(readlink -f "$libcurl")" | cut -d: -f1)
echo "links $libcurl from $curl_package"
[ "$curl_package" = libcurl4 ] || fail "libcurl comes from $curl_package, not libcurl4"
grep -Eq "(^|, )$curl_package( \(|,|$)" <<<"$depends" || fail "Depends lacks $curl_package: $depends"

# The unpacked binary runs (usage text for an unknown option, exit 0) and is stripped.
dpkg-deb -x "$deb" "$scratch/root"
out=$("$scratch/root/usr/bin/mgmtfetch" -x 2>/dev/null) || fail "unpacked binary exit status $?"
grep -q -- '-a | --address' <<<"$out" || fail "unpacked binary printed no usage text"
if command -v file >/dev/null; then
  file "$scratch/root/usr/bin/mgmtfetch" | grep -q ', stripped' || fail "binary is not stripped"
fi

# The manual page: the sections a reader looks for, and no groff warnings.
page="$scratch/root/usr/share/man/man1/mgmtfetch.1.gz"
for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" FILES EXAMPLES; do
  zcat "$page" | grep -q "^\.SH \"\?$section" || fail "manual page lacks $section"
done
if command -v groff >/dev/null; then
  warnings=$(zcat "$page" | groff -man -ww -z -Tutf8 2>&1)
  [ -z "$warnings" ] || fail $'groff warnings:\n'"$warnings"
fi

# cmake --install puts the same two files under the prefix.
cmake --install build-pkg --prefix "$scratch/prefix" >/dev/null
[ -x "$scratch/prefix/bin/mgmtfetch" ] || fail "install: no bin/mgmtfetch"
[ -f "$scratch/prefix/share/man/man1/mgmtfetch.1.gz" ] || fail "install: no share/man/man1/mgmtfetch.1.gz"
echo "package ok: $deb"
