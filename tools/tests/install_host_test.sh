#!/usr/bin/env bash
# Runs tools/install-host against throw-away home and root folders and checks
# the manifests it writes, the folders it picks and what it refuses.
# The script runs with a PATH holding only bash and coreutils, as on a user's
# machine without python or jq. Exit 77 (skipped) without python3, which
# parses the manifests here.
set -uo pipefail
export LC_ALL=C

script=$(cd -P -- "$(dirname -- "$0")/.." && pwd -P)/install-host
command -v python3 >/dev/null || { echo "python3 missing: skipped"; exit 77; }

work=$(mktemp -d)
trap 'chmod -R u+rwx "$work" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# bash and coreutils only.
tools="$work/tools"
mkdir -p "$tools"
ln -s "$(command -v bash)" "$tools/bash"
for t in basename cat chmod chown cp cut date dd dirname echo env expr false head id ln ls mkdir \
  mktemp mv printf pwd readlink realpath rm rmdir sleep sort stat tail tee test touch tr true \
  uname uniq wc; do
  p=$(type -P "$t") && ln -s "$p" "$tools/$t"
done

host="$work/bin/pelagon2"
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$host"
chmod 755 "$host"

readonly c1=abcdefghijklmnopabcdefghijklmnop
readonly c2=ppppppppppppppppaaaaaaaaaaaaaaaa
readonly f1=pelagon2@example.org
readonly f2='{12345678-9abc-def0-1234-56789abcdef0}'

# Fresh home and root for each case.
fresh() {
  rm -rf "${work:?}/home" "${work:?}/root"
  mkdir -p "$work/home" "$work/root"
}

# run OS [args...]: runs the script in a clean environment; fills $out, $err, $rc.
run() {
  local os=$1
  shift
  out=$(env -i HOME="$work/home" PATH="${extra_path:+$extra_path:}$tools" ${extra_env[@]+"${extra_env[@]}"} \
    PELAGON2_INSTALL_OS="$os" PELAGON2_INSTALL_ROOT="$work/root" \
    "$tools/bash" "$script" "$@" 2>"$work/stderr" </dev/null)
  rc=$?
  err=$(cat "$work/stderr")
}
extra_path=""
extra_env=()

# Every file under home and root, one per line, relative to $work.
written() {
  (cd "$work" && find home root -type f | sort)
}

# check_manifest FILE KEY [ENTRY...]: the manifest must be exactly this object,
# with path $host_expected and name $name_expected. The file is kept and all are
# parsed in one go at the end (python's start-up dominates otherwise).
checks="$work/checks"
mkdir -p "$checks"
check_count=0
check_manifest() {
  local file=$1
  check_count=$((check_count + 1))
  if [[ ! -f "$file" ]]; then
    fail "no manifest at $file"
    return
  fi
  cp "$file" "$checks/$check_count.json"
  printf '%s\0' "$file" "$name_expected" "$host_expected" "${@:2}" >"$checks/$check_count.args"
}
host_expected=$host
name_expected=io.pelagon2.host

mode_of() { stat -c %a "$1"; }

# --- the folder of every browser, per system and level -----------------------------

mac_user="home/Library/Application Support"
while read -r os level browser folder; do
  fresh
  args=(--browser "$browser" --host "$host" --extension-id "$c1" --extension-id "$f1")
  [[ $level == system ]] && args+=(--system)
  run "$os" "${args[@]}"
  folder=${folder//@/ }
  file="$folder/io.pelagon2.host.json"
  [[ $rc == 0 ]] || { fail "$os $level $browser: exit $rc: $err"; continue; }
  [[ "$(written)" == "$file" ]] || fail "$os $level $browser: wrote [$(written)], want [$file]"
  [[ "$out" == "wrote $work/$file" ]] || fail "$os $level $browser: printed [$out]"
  if [[ $browser == firefox ]]; then
    check_manifest "$work/$file" allowed_extensions "$f1"
  else
    check_manifest "$work/$file" allowed_origins "chrome-extension://$c1/"
  fi
  [[ "$(mode_of "$work/$file")" == 644 ]] || fail "$os $level $browser: mode $(mode_of "$work/$file")"
done <<EOF
linux user chrome home/.config/google-chrome/NativeMessagingHosts
linux user chromium home/.config/chromium/NativeMessagingHosts
linux user edge home/.config/microsoft-edge/NativeMessagingHosts
linux user brave home/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts
linux user firefox home/.mozilla/native-messaging-hosts
linux system chrome root/etc/opt/chrome/native-messaging-hosts
linux system chromium root/etc/chromium/native-messaging-hosts
linux system edge root/etc/opt/edge/native-messaging-hosts
linux system brave root/etc/opt/brave.com/brave/native-messaging-hosts
linux system firefox root/usr/lib/mozilla/native-messaging-hosts
macos user chrome ${mac_user// /@}/Google/Chrome/NativeMessagingHosts
macos user chromium ${mac_user// /@}/Chromium/NativeMessagingHosts
macos user edge ${mac_user// /@}/Microsoft@Edge/NativeMessagingHosts
macos user brave ${mac_user// /@}/BraveSoftware/Brave-Browser/NativeMessagingHosts
macos user firefox ${mac_user// /@}/Mozilla/NativeMessagingHosts
macos system chrome root/Library/Google/Chrome/NativeMessagingHosts
macos system chromium root/Library/Application@Support/Chromium/NativeMessagingHosts
macos system edge root/Library/Microsoft/Edge/NativeMessagingHosts
macos system brave root/Library/Application@Support/BraveSoftware/Brave-Browser/NativeMessagingHosts
macos system firefox root/Library/Application@Support/Mozilla/NativeMessagingHosts
EOF

# --- XDG_CONFIG_HOME moves the Chromium family's profiles, not Firefox's ---------------

while read -r xdg want_chrome; do
  fresh
  extra_env=("XDG_CONFIG_HOME=$xdg")
  run linux --browser chromium --browser brave --browser firefox --host "$host" --extension-id "$c1" --extension-id "$f1"
  extra_env=()
  [[ $rc == 0 ]] || { fail "XDG_CONFIG_HOME=$xdg: exit $rc: $err"; continue; }
  want="home/.mozilla/native-messaging-hosts/io.pelagon2.host.json
$want_chrome/BraveSoftware/Brave-Browser/NativeMessagingHosts/io.pelagon2.host.json
$want_chrome/chromium/NativeMessagingHosts/io.pelagon2.host.json"
  [[ "$(written)" == "$(sort <<<"$want")" ]] || fail "XDG_CONFIG_HOME=$xdg: wrote [$(written)]"
done <<EOF
$work/home/xdg home/xdg
relative/xdg home/.config
EOF

# --- ids: sorted into families, in order, without repeats --------------------------

fresh
run linux --browser chrome --browser firefox --host "$host" --extension-id "$c1" \
  --extension-id "$f2" --extension-id "chrome-extension://$c2/" --extension-id "$f1" --extension-id "$c1"
[[ $rc == 0 ]] || fail "mixed ids: exit $rc: $err"
check_manifest "$work/home/.config/google-chrome/NativeMessagingHosts/io.pelagon2.host.json" \
  allowed_origins "chrome-extension://$c1/" "chrome-extension://$c2/"
check_manifest "$work/home/.mozilla/native-messaging-hosts/io.pelagon2.host.json" \
  allowed_extensions "$f2" "$f1"

# --- paths that need escaping ---------------------------------------------------------

odd_dir="$work/dir with \"quotes\" \\ back\\slash, tab	and é€😀"
mkdir -p "$odd_dir"
cp "$host" "$odd_dir/pelagon2"
fresh
run linux --browser chrome --host "$odd_dir/pelagon2" --extension-id "$c1"
[[ $rc == 0 ]] || fail "odd path: exit $rc: $err"
host_expected="$odd_dir/pelagon2" check_manifest \
  "$work/home/.config/google-chrome/NativeMessagingHosts/io.pelagon2.host.json" allowed_origins "chrome-extension://$c1/"

# A file name that is not UTF-8 cannot be written into JSON: a lone Latin-1
# byte, an overlong '/', a sequence cut short at the end, a lead byte past
# U+10FFFF.
for bytes in '\xe9' '\xc0\xaf' '\xe2\x82' '\xf5\x80\x80\x80'; do
  printf -v bad_host '%s/pelagon2-%b' "$work/bin" "$bytes"
  cp "$host" "$bad_host"
  fresh
  run linux --browser chrome --host "$bad_host" --extension-id "$c1"
  [[ $rc != 0 && "$err" == *"not valid UTF-8"* && -z "$(written)" ]] ||
    fail "non-UTF-8 path ($bytes): exit $rc, [$err], wrote [$(written)]"
done

# --- host paths it refuses --------------------------------------------------------------

printf 'x' >"$work/not-executable"
while IFS='|' read -r label path message; do
  fresh
  run linux --browser chrome --host "$path" --extension-id "$c1"
  [[ $rc != 0 ]] || fail "host $label: accepted"
  [[ "$err" == *"$message"* ]] || fail "host $label: message [$err], want [$message]"
  [[ -z "$(written)" ]] || fail "host $label: wrote [$(written)]"
done <<EOF
relative|bin/pelagon2|must be absolute
missing|$work/bin/absent|does not exist
directory|$work/bin|not a file
not executable|$work/not-executable|not executable
EOF

# Without --host: the pelagon2 beside the installed script, else a refusal.
# The installed layout keeps the host in libexec/pelagon2/; a link to the script
# (relative or absolute) counts from the script's own folder, not the link's.
for layout in bin bin-and-libexec installed installed-relative-link installed-absolute-link none; do
  prefix="$work/prefix-$layout"
  mkdir -p "$prefix/bin" "$prefix/libexec" "$prefix/libexec/pelagon2" "$prefix/links"
  installed="$prefix/libexec/install-host"
  case $layout in
    bin) installed="$prefix/bin/install-host"; cp "$host" "$prefix/bin/pelagon2"; want="$prefix/bin/pelagon2" ;;
    bin-and-libexec) cp "$host" "$prefix/bin/pelagon2"; want="$prefix/bin/pelagon2" ;;
    installed*) installed="$prefix/bin/pelagon2-install-host"; cp "$host" "$prefix/libexec/pelagon2/pelagon2"
      want="$prefix/libexec/pelagon2/pelagon2" ;;
    none) want="" ;;
  esac
  cp "$script" "$installed"
  case $layout in
    installed-relative-link) ln -s ../bin/pelagon2-install-host "$prefix/links/install"; installed="$prefix/links/install" ;;
    installed-absolute-link) ln -s "$installed" "$prefix/links/install"; installed="$prefix/links/install" ;;
  esac
  fresh
  out=$(env -i HOME="$work/home" PATH="$tools" PELAGON2_INSTALL_OS=linux "$tools/bash" "$installed" \
    --browser chrome --extension-id "$c1" 2>&1)
  rc=$?
  if [[ -n $want ]]; then
    [[ $rc == 0 ]] || { fail "default host ($layout): exit $rc: $out"; continue; }
    host_expected=$want check_manifest "$work/home/.config/google-chrome/NativeMessagingHosts/io.pelagon2.host.json" \
      allowed_origins "chrome-extension://$c1/"
  else
    [[ $rc != 0 && "$out" == *"--host"* && -z "$(written)" ]] || fail "default host ($layout): exit $rc, [$out]"
  fi
done

# --- host names ---------------------------------------------------------------------------

for good in io.pelagon2.host a com.my_company.app_2 _x._y; do
  fresh
  run linux --browser chromium --name "$good" --host "$host" --extension-id "$c1"
  file="$work/home/.config/chromium/NativeMessagingHosts/$good.json"
  [[ $rc == 0 ]] || { fail "name $good: exit $rc: $err"; continue; }
  name_expected=$good check_manifest "$file" allowed_origins "chrome-extension://$c1/"
done
for bad in Io.pelagon2.host .a a. a..b a-b "a b" a/b ../x "" é; do
  fresh
  run linux --browser chromium --name "$bad" --host "$host" --extension-id "$c1"
  [[ $rc == 2 && -z "$(written)" ]] || fail "name [$bad]: exit $rc, wrote [$(written)]"
done

# --- extension ids it refuses, and families left without one -------------------------------

for bad in abcdefghijklmnopabcdefghijklmno abcdefghijklmnopabcdefghijklmnoq ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP \
  'x"y@z' '{1234}' 'a@' 'chrome-extension://short/'; do
  fresh
  run linux --browser chrome --browser firefox --host "$host" --extension-id "$c1" --extension-id "$f1" --extension-id "$bad"
  [[ $rc == 2 && "$err" == *"invalid extension id"* && -z "$(written)" ]] || fail "id [$bad]: exit $rc [$err]"
done
fresh
run linux --browser firefox --host "$host" --extension-id "$c1"
[[ $rc == 2 && "$err" == *"firefox needs a Firefox extension id"* && -z "$(written)" ]] ||
  fail "firefox without a Firefox id: exit $rc [$err]"
fresh
run linux --browser chrome --host "$host"
[[ $rc == 2 && -z "$(written)" ]] || fail "no ids: exit $rc [$err]"

# --- browsers found on the machine ----------------------------------------------------------

# Profile folders.
fresh
mkdir -p "$work/home/.config/chromium" "$work/home/.mozilla"
run linux --host "$host" --extension-id "$c1" --extension-id "$f1"
want="home/.config/chromium/NativeMessagingHosts/io.pelagon2.host.json
home/.mozilla/native-messaging-hosts/io.pelagon2.host.json"
[[ $rc == 0 && "$(written)" == "$want" ]] || fail "found by folder: exit $rc, wrote [$(written)] [$err]"
# The same, with no Firefox id: Firefox is skipped with a note.
fresh
mkdir -p "$work/home/.config/chromium" "$work/home/.mozilla"
run linux --host "$host" --extension-id "$c1"
[[ $rc == 0 && "$(written)" == "home/.config/chromium/NativeMessagingHosts/io.pelagon2.host.json" &&
  "$err" == *"skipping firefox"* ]] || fail "found, no Firefox id: exit $rc, wrote [$(written)] [$err]"
# A command on PATH.
fresh
mkdir -p "$work/fakebin"
printf '#!/bin/sh\n' >"$work/fakebin/microsoft-edge"
chmod 755 "$work/fakebin/microsoft-edge"
extra_path="$work/fakebin" run linux --host "$host" --extension-id "$c1"
[[ $rc == 0 && "$(written)" == "home/.config/microsoft-edge/NativeMessagingHosts/io.pelagon2.host.json" ]] ||
  fail "found on PATH: exit $rc, wrote [$(written)] [$err]"
# A macOS application bundle.
fresh
mkdir -p "$work/root/Applications/Brave Browser.app"
run macos --host "$host" --extension-id "$c1"
[[ $rc == 0 && "$(written)" == "$mac_user/BraveSoftware/Brave-Browser/NativeMessagingHosts/io.pelagon2.host.json" ]] ||
  fail "found as an app: exit $rc, wrote [$(written)] [$err]"
# Nothing found.
fresh
run linux --host "$host" --extension-id "$c1"
[[ $rc != 0 && "$err" == *"found none"* && -z "$(written)" ]] || fail "none found: exit $rc [$err]"

# --- dry run ----------------------------------------------------------------------------------

fresh
run linux --system --dry-run --browser chrome --browser firefox --host "$host" --extension-id "$c1" --extension-id "$f1"
[[ $rc == 0 && -z "$(written)" && -z "$(cd "$work" && find home root -mindepth 1)" ]] ||
  fail "dry run changed something: exit $rc [$(cd "$work" && find home root -mindepth 1)]"
[[ "$out" == *"would write $work/root/etc/opt/chrome/native-messaging-hosts/io.pelagon2.host.json:"* &&
  "$out" == *"\"chrome-extension://$c1/\""* && "$out" == *"would write $work/root/usr/lib/mozilla/"* ]] ||
  fail "dry run output: [$out]"

# --- other hosts' files, reinstall, uninstall ---------------------------------------------------

chrome_dir="$work/home/.config/google-chrome/NativeMessagingHosts"
foreign='{"name": "com.other.host", "path": "/opt/other", "type": "stdio", "allowed_origins": []}'
while IFS='|' read -r label content; do
  fresh
  mkdir -p "$chrome_dir"
  printf '%s\n' "$content" >"$chrome_dir/io.pelagon2.host.json"
  run linux --browser chrome --browser firefox --host "$host" --extension-id "$c1" --extension-id "$f1"
  [[ $rc == 1 && "$err" == *"leaving $chrome_dir/io.pelagon2.host.json alone"* ]] || fail "foreign ($label): exit $rc [$err]"
  [[ "$(cat "$chrome_dir/io.pelagon2.host.json")" == "$content" ]] || fail "foreign ($label): overwritten"
  [[ -f "$work/home/.mozilla/native-messaging-hosts/io.pelagon2.host.json" ]] || fail "foreign ($label): other browser not written"
  # Uninstall leaves it too.
  run linux --uninstall --browser chrome
  [[ $rc == 1 && -f "$chrome_dir/io.pelagon2.host.json" ]] || fail "foreign ($label): uninstall exit $rc"
done <<EOF
another name|$foreign
no name|{"path": "/opt/other"}
nested name|{"name": "io.pelagon2.host", "other": {"name": "com.other.host"}}
not json|name = io.pelagon2.host
EOF
# A directory where the manifest would go.
fresh
mkdir -p "$chrome_dir/io.pelagon2.host.json"
run linux --browser chrome --host "$host" --extension-id "$c1"
[[ $rc == 1 && -d "$chrome_dir/io.pelagon2.host.json" && -z "$(written)" ]] || fail "directory in the way: exit $rc [$err]"

# Our own manifest is replaced; everything else in the folder stays.
fresh
run linux --browser chrome --browser firefox --browser brave --host "$host" --extension-id "$c1" --extension-id "$f1"
printf '%s\n' "$foreign" >"$chrome_dir/com.other.host.json"
cp "$host" "$work/bin/pelagon2-new"
run linux --browser chrome --host "$work/bin/pelagon2-new" --extension-id "$c2"
[[ $rc == 0 ]] || fail "reinstall: exit $rc [$err]"
host_expected="$work/bin/pelagon2-new" check_manifest "$chrome_dir/io.pelagon2.host.json" allowed_origins "chrome-extension://$c2/"
[[ -z "$(find "$chrome_dir" -name '.*')" ]] || fail "reinstall left a temporary file"
run linux --uninstall --dry-run
[[ $rc == 0 && "$out" == *"would remove $chrome_dir/io.pelagon2.host.json"* && -f "$chrome_dir/io.pelagon2.host.json" ]] ||
  fail "uninstall dry run: exit $rc [$out]"
run linux --uninstall
want="home/.config/google-chrome/NativeMessagingHosts/com.other.host.json"
[[ $rc == 0 && "$(written)" == "$want" ]] || fail "uninstall: exit $rc, left [$(written)] [$err]"
[[ "$(printf '%s\n' "$out" | wc -l)" == 3 && "$out" == *"removed $chrome_dir/io.pelagon2.host.json"* ]] ||
  fail "uninstall output: [$out]"

# --system needs no HOME.
fresh
out=$(env -i PATH="$tools" PELAGON2_INSTALL_OS=macos PELAGON2_INSTALL_ROOT="$work/root" \
  "$tools/bash" "$script" --system --browser edge --host "$host" --extension-id "$c1" 2>&1) || fail "system without HOME: $out"
[[ "$(written)" == "root/Library/Microsoft/Edge/NativeMessagingHosts/io.pelagon2.host.json" ]] ||
  fail "system without HOME: wrote [$(written)]"

# --- permissions under a strict umask ---------------------------------------------------------

fresh
out=$(umask 077 && env -i HOME="$work/home" PATH="$tools" PELAGON2_INSTALL_OS=linux PELAGON2_INSTALL_ROOT="$work/root" \
  "$tools/bash" "$script" --system --browser chromium --host "$host" --extension-id "$c1" 2>&1) || fail "umask 077: $out"
for d in etc etc/chromium etc/chromium/native-messaging-hosts; do
  [[ "$(mode_of "$work/root/$d")" == 755 ]] || fail "umask 077: $d has mode $(mode_of "$work/root/$d")"
done
[[ "$(mode_of "$work/root/etc/chromium/native-messaging-hosts/io.pelagon2.host.json")" == 644 ]] || fail "umask 077: manifest mode"

python3 - "$checks" "$check_count" <<'EOF' || failures=$((failures + 1))
import json, sys
folder, count = sys.argv[1], int(sys.argv[2])
bad = 0
for i in range(1, count + 1):
    try:
        with open(f"{folder}/{i}.args", "rb") as f:
            args = [a.decode("utf-8", "surrogateescape") for a in f.read().split(b"\0")[:-1]]
    except FileNotFoundError:
        continue  # already reported as missing
    file, name, path, key, *entries = args
    want = {"name": name, "description": "pelagon2 desktop automation host",
            "path": path, "type": "stdio", key: entries}
    try:
        with open(f"{folder}/{i}.json", encoding="utf-8") as f:
            got = json.load(f)
    except ValueError as e:
        got = f"unparsable: {e}"
    if got != want:
        print(f"FAIL: manifest {file}\n  got  {got}\n  want {want}")
        bad += 1
print(f"{count} manifests parsed")
sys.exit(1 if bad else 0)
EOF

if ((failures)); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all install-host checks passed"
