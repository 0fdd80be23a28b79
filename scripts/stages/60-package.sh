#!/usr/bin/env bash
# Builds the Debian package from a release build in build-pkg and checks it:
# exactly the binary, the manual page, the copyright and the changelog under
# /usr, dependencies on the packages that provide the libcurl and libcrypto
# the binary really links, no lintian error or warning, a binary that runs
# from the unpacked tree, and a manual page that renders cleanly. Also checks
# that `cmake --install` puts the same files under a prefix.
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

# Contents: the four files and their directories, nothing else.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $NF}' | sort -k2)
expected="-rwxr-xr-x ./usr/bin/mgmtfetch
-rw-r--r-- ./usr/share/doc/mgmtfetch/changelog.gz
-rw-r--r-- ./usr/share/doc/mgmtfetch/copyright
-rw-r--r-- ./usr/share/man/man1/mgmtfetch.1.gz"
[ "$files" = "$expected" ] || fail $'unexpected contents:\n'"$files"

# Control fields.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
[ "$(dpkg-deb -f "$deb" Package)" = mgmtfetch ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version is not $version"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
# lib expected-package: the package that provides the library the binary
# links must be among the dependencies.
while read -r lib want; do
  path=$(ldd build-pkg/mgmtfetch | awk -v lib="$lib" 'index($1, lib) == 1 {print $3}')
  [ -n "$path" ] || fail "the binary does not link $lib"
  package=$(dpkg -S "$(readlink -f "$path")" | cut -d: -f1)
  echo "links $path from $package"
  [ "$package" = "$want" ] || fail "$lib comes from $package, not $want"
  grep -Eq "(^|, )$package( \(|,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done <<<$'libcurl. libcurl4\nlibcrypto. libssl3'

# lintian: informational tags (I:) and overrides are fine, errors and
# warnings are not.
command -v lintian >/dev/null || fail "lintian is not installed (scripts/deps.sh)"
report=$(lintian "$deb" 2>&1) || true
echo "$report"
! grep -E '^[EW]: ' <<<"$report" >/dev/null || fail "lintian reports errors or warnings"

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

# cmake --install puts the same files under the prefix.
cmake --install build-pkg --prefix "$scratch/prefix" >/dev/null
[ -x "$scratch/prefix/bin/mgmtfetch" ] || fail "install: no bin/mgmtfetch"
for f in man/man1/mgmtfetch.1.gz doc/mgmtfetch/copyright doc/mgmtfetch/changelog.gz; do
  [ -f "$scratch/prefix/share/$f" ] || fail "install: no share/$f"
done
echo "package ok: $deb"
