#!/usr/bin/env bash
# Builds the Debian package from a finished build, checks its contents and
# lintian's findings, installs it on this machine with its dependencies, asks
# the installed host for its version and install-host for a dry run, then
# removes it and checks that nothing stays. Needs root (dpkg); skips without.
#   packaging/debian_package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd -P)
if [[ "$(id -u)" != 0 ]]; then
  echo "skipped: installing a package needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' pelagon2 2>/dev/null | grep -q "install ok installed"; then
  echo "pelagon2 is already installed on this machine; refusing to replace it" >&2
  exit 1
fi
work=$(mktemp -d)
installed=0
cleanup() {
  if ((installed)); then dpkg -r pelagon2 >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
deb="$work/pelagon2_${version}_${arch}.deb"
[[ -f "$deb" ]] || { ls "$work"; echo "FAIL: no $deb"; exit 1; }

# Contents: exactly these files, with these modes, owned by root.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$work/files"
sort >"$work/want" <<WANT
-rw-r--r-- root/root ./usr/libexec/pelagon2/libpelagon2_tesseract.so
-rw-r--r-- root/root ./usr/libexec/pelagon2/libpelagon2_wayland.so
-rw-r--r-- root/root ./usr/share/doc/pelagon2/README.md
-rw-r--r-- root/root ./usr/share/doc/pelagon2/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/pelagon2/copyright
-rwxr-xr-x root/root ./usr/bin/pelagon2-install-host
-rwxr-xr-x root/root ./usr/libexec/pelagon2/pelagon2
WANT
diff -u "$work/want" "$work/files" || fail "package contents differ from the list above"
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {print}' | grep . && fail "folders not 0755"
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Version)" == "$version" ]] || fail "package version $(field Version), project $version"
[[ "$(field Depends)" == *tesseract-ocr-eng* && "$(field Depends)" == *libc6* ]] ||
  fail "dependencies not computed or without the English recognition data: $(field Depends)"
# Nothing that points back into the build: no run path, no build folder named.
mkdir "$work/root"
dpkg-deb -x "$deb" "$work/root"
for f in "$work"/root/usr/libexec/pelagon2/*; do
  readelf -d "$f" | grep -qE 'R(UN)?PATH' && fail "$(basename "$f") has a run path"
  grep -qaF "$build" "$f" && fail "$(basename "$f") names the build folder $build"
done

# lintian: nothing at error level.
lintian --allow-root --fail-on error "$deb" >"$work/lintian" 2>&1 || { cat "$work/lintian"; fail "lintian errors"; }

# Installed: apt resolves the dependencies.
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { tail -20 "$work/apt.log"; echo "FAIL: apt-get install"; exit 1; }
installed=1
# Every library the host and its modules link is there once installed.
for f in /usr/libexec/pelagon2/*; do
  ldd "$f" | grep -F "not found" && fail "$(basename "$f") misses a library after installation"
done
request='{"id":7,"method":"get_version","params":{}}'
printf -v length '\\x%02x\\x00\\x00\\x00' "${#request}"
# shellcheck disable=SC2059 # the length bytes are escapes in the format
(cd / && printf "$length%s" "$request" | env -i PATH=/usr/bin:/bin /usr/libexec/pelagon2/pelagon2) >"$work/reply"
body=$(tail -c +5 "$work/reply")
[[ "$body" == "{\"id\":7,\"result\":\"$version\"}" ]] || fail "installed host answered [$body] for version $version"
mkdir "$work/home"
out=$(env -i HOME="$work/home" PATH=/usr/bin:/bin pelagon2-install-host --dry-run --browser chrome \
  --extension-id abcdefghijklmnopabcdefghijklmnop 2>&1) || fail "install-host --dry-run: $out"
[[ "$out" == *'"path": "/usr/libexec/pelagon2/pelagon2",'* ]] || fail "dry run does not name the installed host: $out"
[[ -z "$(ls -A "$work/home")" ]] || fail "the dry run wrote into HOME"

# Removed: none of its files stay.
dpkg -r pelagon2 >/dev/null
installed=0
for f in /usr/bin/pelagon2-install-host /usr/libexec/pelagon2 /usr/share/doc/pelagon2; do
  [[ ! -e "$f" ]] || fail "$f stays after removal"
done
dpkg-query -W -f='${Status}' pelagon2 2>/dev/null | grep -q "install ok installed" && fail "still listed as installed"

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "package $(basename "$deb") builds, installs, answers and uninstalls"
