#!/usr/bin/env bash
# Installs the build into a throw-away prefix and checks what a user gets: the
# host in libexec/pelagon2/ with the libraries it loads from its own folder,
# bin/pelagon2-install-host, which finds that host without being told, and the
# documents.
#   install_layout_test.sh CMAKE BUILD_DIR with-tesseract|without-tesseract with-wayland|without-wayland
set -euo pipefail
cmake=$1 build=$2 tesseract=$3 wayland=$4

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

host_dir="$prefix/libexec/pelagon2"
for f in libexec/pelagon2/pelagon2 bin/pelagon2-install-host; do
  [[ -f "$prefix/$f" && -x "$prefix/$f" ]] || fail "$f missing or not executable"
done
for f in README.md copyright changelog.gz; do
  [[ -f "$prefix/share/doc/pelagon2/$f" ]] || fail "share/doc/pelagon2/$f missing"
done
# The libraries the host loads from its own folder, there exactly when built.
for module in tesseract:$tesseract wayland:$wayland; do
  library="$host_dir/libpelagon2_${module%%:*}.so"
  if [[ ${module#*:} == with-* ]]; then
    [[ -f "$library" ]] || fail "$(basename "$library") is not beside the host"
  else
    [[ ! -e "$library" ]] || fail "$(basename "$library") was installed though it was not built"
  fi
done
# Nothing else: a stray file in the prefix would also end up in the package.
unexpected=$(cd "$prefix" && find . -type f ! -path ./bin/pelagon2-install-host ! -path './libexec/pelagon2/*' \
  ! -path './share/doc/pelagon2/*')
[[ -z "$unexpected" ]] || fail "unexpected files installed: $unexpected"

# The installed host answers a request on its own.
request='{"id":7,"method":"get_version","params":{}}'
printf -v length '\\x%02x\\x00\\x00\\x00' "${#request}"
# shellcheck disable=SC2059 # the length bytes are escapes in the format
printf "$length%s" "$request" | "$host_dir/pelagon2" >"$work/reply"
declared=$(od -An -tu4 -N4 "$work/reply" | tr -d ' ')
body=$(tail -c +5 "$work/reply")
[[ "$declared" == "$(($(wc -c <"$work/reply") - 4))" && "$body" == '{"id":7,"result":"'*'"}' ]] ||
  fail "installed host replied [$(od -c "$work/reply" | head -5)]"

# install-host defaults to the host of its own prefix.
mkdir -p "$work/home"
out=$(env -i HOME="$work/home" PATH=/usr/bin:/bin "$prefix/bin/pelagon2-install-host" --browser chrome \
  --extension-id abcdefghijklmnopabcdefghijklmnop 2>&1) || fail "install-host: $out"
manifest="$work/home/.config/google-chrome/NativeMessagingHosts/io.pelagon2.host.json"
grep -qF "\"path\": \"$host_dir/pelagon2\"," "$manifest" 2>/dev/null ||
  fail "manifest does not point at the installed host: $(cat "$manifest" 2>&1)"

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "installed layout is complete"
