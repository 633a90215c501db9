#!/usr/bin/env bash
# Installs the build into a throw-away prefix and checks what a user gets: the
# host, the text-recognition library beside it, and install-host, which finds
# that host without being told.
#   install_layout_test.sh CMAKE BUILD_DIR with-tesseract|without-tesseract
set -euo pipefail
cmake=$1 build=$2 tesseract=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$(cd -P "$work" && pwd -P)/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

for f in pelagon2 install-host; do
  [[ -f "$prefix/bin/$f" && -x "$prefix/bin/$f" ]] || fail "bin/$f missing or not executable"
done
library="$prefix/bin/libpelagon2_tesseract.so"
if [[ $tesseract == with-tesseract ]]; then
  [[ -f "$library" ]] || fail "the text-recognition library is not beside the host"
else
  [[ ! -e "$library" ]] || fail "a text-recognition library was installed without Tesseract"
fi

# The installed host answers a request on its own.
request='{"id":7,"method":"get_version","params":{}}'
printf -v length '\\x%02x\\x00\\x00\\x00' "${#request}"
# shellcheck disable=SC2059 # the length bytes are escapes in the format
printf "$length%s" "$request" | "$prefix/bin/pelagon2" >"$work/reply"
declared=$(od -An -tu4 -N4 "$work/reply" | tr -d ' ')
body=$(tail -c +5 "$work/reply")
[[ "$declared" == "$(($(wc -c <"$work/reply") - 4))" && "$body" == '{"id":7,"result":"'*'"}' ]] ||
  fail "installed host replied [$(od -c "$work/reply" | head -5)]"

# install-host defaults to the host beside it.
mkdir -p "$work/home"
out=$(env -i HOME="$work/home" PATH=/usr/bin:/bin "$prefix/bin/install-host" --browser chrome \
  --extension-id abcdefghijklmnopabcdefghijklmnop 2>&1) || fail "install-host: $out"
manifest="$work/home/.config/google-chrome/NativeMessagingHosts/io.pelagon2.host.json"
grep -qF "\"path\": \"$prefix/bin/pelagon2\"," "$manifest" 2>/dev/null ||
  fail "manifest does not point at the installed host: $(cat "$manifest" 2>&1)"

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "installed layout is complete"
