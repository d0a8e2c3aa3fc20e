#!/usr/bin/env bash
# Installs the viewer as people get it, into a prefix and as a Debian package, and checks
# what lands: the program, its desktop entry, icon, software-centre metainfo, manual page,
# copyright and changelog, and nothing else; lintian and appstreamcli must find nothing wrong.
# Usage: install_test.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/orvelle-install.XXXXXX")
ours=0 # set while the package installed by this run is on the system
cleanup() {
  [ "$ours" -eq 1 ] && timeout 120 dpkg -P orvelle >/dev/null 2>&1
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; fi; }

# The one list of what an install holds; the package holds the same under /usr.
app_id=info.orvelle.orvelle
expected="bin/orvelle
share/applications/$app_id.desktop
share/doc/orvelle/changelog.gz
share/doc/orvelle/copyright
share/icons/hicolor/scalable/apps/$app_id.svg
share/man/man1/orvelle.1.gz
share/metainfo/$app_id.metainfo.xml"

# --- into a prefix ---
prefix=$dir/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$dir/install.log" 2>&1; then
  echo "FAIL: cmake --install:"; cat "$dir/install.log"; exit 1
fi
got=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
check '[ "$got" = "$expected" ]' "installed files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$got"))"

bin=$prefix/bin/orvelle
check '[ -x "$bin" ] && file -b "$bin" | grep -q "^ELF .* executable"' "bin/orvelle is not an ELF executable: $(file -b "$bin")"
check '! readelf -d "$bin" | grep -E "R(UN)?PATH" | grep -q "$build"' "bin/orvelle still looks for libraries in the build tree"

# Run as a person without a camera would, from the installed copy; no display is needed.
env -u DISPLAY -u WAYLAND_DISPLAY timeout 10 "$bin" >"$dir/out" 2>"$dir/err"
status=$?
err=$(cat "$dir/err")
check '[ "$status" -eq 1 ]' "installed orvelle without a camera: status $status, expected 1"
check '[ "$(wc -l <"$dir/err")" -eq 1 ] && [ "$err" = "orvelle: no camera at index 0" ]' "stderr is not the one no-camera line: $err"
check '[ ! -s "$dir/out" ]' "installed orvelle wrote to stdout"

desktop=$prefix/share/applications/$app_id.desktop
desktop-file-validate "$desktop" >"$dir/validate" 2>&1
vstatus=$?
check '[ "$vstatus" -eq 0 ] && [ ! -s "$dir/validate" ]' "desktop-file-validate: $(cat "$dir/validate")"
check 'grep -qx "Categories=AudioVideo;Video;" "$desktop"' "desktop entry categories: $(grep Categories "$desktop")"
# The entry must start the installed program and name the installed icon.
check 'grep -qx "Exec=orvelle" "$desktop" && [ -x "$prefix/bin/orvelle" ]' "desktop entry does not start bin/orvelle"
# Docks match the window to its entry by this name (WM_CLASS on X11; on Wayland the app_id
# is the entry's file name).
check 'grep -qx "Icon=$app_id" "$desktop" && grep -qx "StartupWMClass=$app_id" "$desktop"' \
  "desktop entry does not name the icon and window class $app_id"
svg=$prefix/share/icons/hicolor/scalable/apps/$app_id.svg
check '[ "$(xmllint --xpath "local-name(/*)" "$svg" 2>&1)" = svg ]' "icon is not a well-formed SVG"

metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --pedantic --no-net "$metainfo" >"$dir/appstream" 2>&1
astatus=$?
# AppStream 1.0 (Debian 13) wants <developer> and reports developer_name as deprecated; 0.16
# (Debian 12) does not know <developer> yet. No metainfo is clean under both, so 0.16's one
# info about that tag is let through, said here; any other finding fails.
if appstreamcli --version | grep -q "version: 0\."; then
  known='^I: [^:]*:[0-9]*: unknown-tag developer$'
  grep -q "$known" "$dir/appstream" &&
    echo "appstreamcli $(appstreamcli --version | sed 's/.*: //') does not know <developer>, which 1.0 asks for: let through"
  sed -i "/$known/d" "$dir/appstream"
fi
check '[ "$astatus" -eq 0 ] && ! grep -q "^[EWIP]: " "$dir/appstream"' "appstreamcli validate --pedantic: $(cat "$dir/appstream")"
check 'grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo"' "metainfo does not launch $app_id.desktop"
check 'grep -q "<project_license>Apache-2.0</project_license>" "$metainfo"' "metainfo does not name the licence"

man=$prefix/share/man/man1/orvelle.1.gz
MANWIDTH=80 man --warnings -l "$man" >"$dir/man.txt" 2>"$dir/man.err"
mstatus=$?
check '[ "$mstatus" -eq 0 ] && [ ! -s "$dir/man.err" ] && [ -s "$dir/man.txt" ]' "man -l warns: $(cat "$dir/man.err")"
zcat "$man" >"$dir/orvelle.1"
groff -man -ww -z "$dir/orvelle.1" >"$dir/groff.err" 2>&1
check '[ ! -s "$dir/groff.err" ]' "groff warns: $(cat "$dir/groff.err")"
check '! grep -q @ "$dir/orvelle.1"' "manual page has an unreplaced @VARIABLE@"
# The page must quote the program's own failure line, so the two cannot drift apart.
check 'grep -qF "$err" "$dir/man.txt"' "manual page does not show the line orvelle prints without a camera ($err)"
for section in KEYS "EXIT STATUS"; do
  check 'grep -qx "$section" "$dir/man.txt"' "manual page has no $section section"
done

# --- as a Debian package ---
if ! cpack -G DEB -B "$dir/pkg" --config "$build/CPackConfig.cmake" >"$dir/cpack.log" 2>&1; then
  echo "FAIL: cpack -G DEB:"; cat "$dir/cpack.log"; exit 1
fi
debs=("$dir"/pkg/*.deb)
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: cpack made no single .deb: ${debs[*]}"; exit 1
fi
deb=${debs[0]}
field() { dpkg-deb -f "$deb" "$1"; }
arch=$(dpkg --print-architecture)
check '[ "$(basename "$deb")" = "orvelle_$(field Version)_$arch.deb" ]' "package file name $(basename "$deb")"
check '[ "$(field Package)" = orvelle ] && [ "$(field Architecture)" = "$arch" ]' "package name or architecture"
check '[ "$(field Section)" = video ]' "section is '$(field Section)'"
check 'field Maintainer | grep -qE "^[^<]+ <[^@>]+@[^>]+>$"' "maintainer is '$(field Maintainer)'"
# A one-line summary and a longer text below it.
check '[ -n "$(field Description | head -n1)" ] && [ "$(field Description | wc -l)" -ge 2 ]' "description: $(field Description)"
# Versioned entries for libc and OpenCV are only there when dpkg-shlibdeps read the binary.
depends=$(field Depends)
check 'grep -qE "(^|, )libc6 \(>= " <<<"$depends"' "Depends not computed from the binary: $depends"
check 'grep -qE "(^|, )libopencv-[a-z]+[0-9.]+d? \(>= " <<<"$depends"' "Depends does not name OpenCV: $depends"
debfiles=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' | sort)
check '[ "$debfiles" = "$expected" ]' "package files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$debfiles"))"
dpkg-deb -x "$deb" "$dir/unpacked"
check 'file -b "$dir/unpacked/usr/bin/orvelle" | grep -q ", stripped"' "packaged binary is not stripped"
zcat "$dir/unpacked/usr/share/doc/orvelle/changelog.gz" >"$dir/changelog"
check 'grep -qx "License: Apache-2.0" "$dir/unpacked/usr/share/doc/orvelle/copyright"' "copyright file does not name the Apache License 2.0"
logged=$(dpkg-parsechangelog -l "$dir/changelog" -S Version 2>&1)
check '[ "$logged" = "$(field Version)" ]' "changelog's latest entry is $logged, the package $(field Version)"

# Errors and warnings fail; the info and pedantic tags that stay are listed in
# docs/reliability.md, each with its reason, and any other fails too.
lintian --pedantic --display-info "$deb" >"$dir/lintian" 2>"$dir/lintian.err"
lstatus=$?
check '[ "$lstatus" -eq 0 ] && ! grep -q "^[EW]: " "$dir/lintian"' "lintian (status $lstatus): $(cat "$dir/lintian" "$dir/lintian.err")"
while read -r kind _ tag _; do
  check 'grep -q "\`$tag\`" "$source_dir/docs/reliability.md"' "lintian tag $tag is not in docs/reliability.md: $kind $tag"
done < <(grep "^[IP]: " "$dir/lintian")

# --- installing and removing the package, as root only ---
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: dpkg -i / dpkg -P of the package needs root"
else
  # Parallel runs on this machine would fight over dpkg's lock and the one package name.
  exec 9>"${TMPDIR:-/tmp}/orvelle-install-test.lock"
  if ! flock -w 180 9; then
    echo "FAIL: another install test held the lock for 3 minutes"; exit 1
  fi
  state=$(dpkg-query -W -f='${db:Status-Status}' orvelle 2>/dev/null)
  if [ -n "$state" ] && [ "$state" != not-installed ]; then
    echo "SKIP: a package named orvelle is on this system already; leaving it alone (dpkg -P orvelle to test)"
  else
    # Paths the package would add; those that did not exist before must go with it.
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||; s|/$||' | grep . | sort >"$dir/paths"
    : >"$dir/new"
    while read -r p; do [ -e "$p" ] || echo "$p" >>"$dir/new"; done <"$dir/paths"
    ours=1
    if ! timeout 180 dpkg -i "$deb" >"$dir/dpkg.log" 2>&1; then
      echo "FAIL: dpkg -i:"; cat "$dir/dpkg.log"; exit 1
    fi
    listed=$(dpkg -L orvelle | grep -vx '/\.' | sort)
    check '[ "$listed" = "$(cat "$dir/paths")" ]' "dpkg -L differs from the package contents:
$(diff "$dir/paths" <(echo "$listed"))"
    while read -r f; do
      check '[ -f "/usr/$f" ]' "/usr/$f missing after dpkg -i"
    done <<<"$expected"
    check '[ "$(man -w orvelle 2>&1)" = /usr/share/man/man1/orvelle.1.gz ]' "man -w orvelle: $(man -w orvelle 2>&1)"
    timeout 60 dpkg -r orvelle >>"$dir/dpkg.log" 2>&1 || check false "dpkg -r failed: $(tail -n3 "$dir/dpkg.log")"
    timeout 60 dpkg -P orvelle >>"$dir/dpkg.log" 2>&1 || check false "dpkg -P failed: $(tail -n3 "$dir/dpkg.log")"
    ours=0
    left=$(while read -r p; do [ -e "$p" ] && echo "$p"; done <"$dir/new")
    check '[ -z "$left" ]' "left behind after dpkg -P: $left"
    check '! dpkg-query -W -f="\${db:Status-Status}" orvelle 2>/dev/null | grep -qx -e installed -e config-files' "package still registered after dpkg -P"
  fi
fi

[ "$fail" -eq 0 ] && echo "installed: $(echo "$expected" | tr '\n' ' '); package $(basename "$deb") (Depends: $depends)"
exit $fail
