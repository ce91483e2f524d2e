#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# apt_install (scripts/lib/apt-install.sh) against stand-ins for apt-get,
# dpkg-query and sudo first on the PATH: no root, no network, no real apt.
#   apt_install_test.sh LIB
set -uo pipefail
lib=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/apt-install-test.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
cat >"$tmp/bin/dpkg-query" <<'EOF'
#!/bin/sh
# dpkg-query -W -f=... PKG: installed when listed in $STATE/installed
for last; do :; done
grep -qx "$last" "$STATE/installed" 2>/dev/null && printf 'install ok installed'
exit 0
EOF
cat >"$tmp/bin/apt-get" <<'EOF'
#!/bin/sh
echo "$*" >>"$STATE/calls"
case " $* " in
  *" update "*)
    [ ! -e "$STATE/update-fails" ] && exit 0
    echo "E: Failed to fetch http://deb.example/dists/x/main/binary-armhf/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
    exit 100 ;;
  *" install "*)
    [ -e "$STATE/install-fails" ] && exit 100
    for a; do case $a in -*|install|DPkg::*) ;; *) echo "$a" >>"$STATE/installed" ;; esac; done ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin/"*
fails=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; fails=1; fi; }
# One case: a fresh state; runs apt_install with the arguments, in a subshell.
run() {
  export STATE="$tmp/$1"; shift
  mkdir -p "$STATE"
  (PATH="$tmp/bin:$PATH" APT_INSTALL_UPDATE_TRIES=2 APT_INSTALL_UPDATE_PAUSE=0 V2X_NO_INSTALL=${no_install:-0}
   set -e; . "$lib"; apt_install "$@") >"$STATE/out" 2>"$STATE/err"
  echo $? >"$STATE/rc"
}

mkdir -p "$tmp/partial" && touch "$tmp/partial/update-fails"
run partial --no-remove pkg1 pkg2:arm64
check "one index fails: the install runs and succeeds" '[ "$(cat "$STATE/rc")" = 0 ]'
check "one index fails: update tried twice, then install" \
  '[ "$(grep -c update "$STATE/calls")" = 2 ] && grep -q "install -y -qq --no-remove pkg1 pkg2:arm64" "$STATE/calls"'

mkdir -p "$tmp/broken" && touch "$tmp/broken/install-fails" && echo pkg1 >"$tmp/broken/installed"
run broken pkg1 pkg2 pkg3
check "install fails: non-zero" '[ "$(cat "$STATE/rc")" != 0 ]'
check "install fails: one line names what is missing" \
  '[ "$(grep -c . "$STATE/err")" = 1 ] && grep -qx "apt-install: could not install: pkg2 pkg3" "$STATE/err"'

mkdir -p "$tmp/done" && printf 'pkg1\npkg2:arm64\n' >"$tmp/done/installed"
run done pkg1 pkg2:arm64
check "all installed: succeeds without apt-get" '[ "$(cat "$STATE/rc")" = 0 ] && [ ! -e "$STATE/calls" ]'
no_install=1 run refused pkg1
check "installing turned off: status 77 without apt-get" '[ "$(cat "$STATE/rc")" = 77 ] && [ ! -e "$STATE/calls" ]'
exit "$fails"
