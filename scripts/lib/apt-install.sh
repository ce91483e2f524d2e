# SPDX-License-Identifier: Apache-2.0
# Installing Debian packages for the scripts, sourced by each of them:
#
#   . "$root/scripts/lib/apt-install.sh"
#   apt_install [APT-GET-INSTALL-OPTION...] PKG...
#
# apt_install installs those of PKG (plain or architecture-qualified,
# pkg:arm64) that are not installed yet. When all are installed it does not
# run apt at all. Otherwise it refreshes the package lists first
# (apt_update) and installs; it fails only when that install fails, and
# then says which packages are still missing in one line on stderr:
#
#   apt-install: could not install: PKG...
#
# A refresh that fails for some lists only (a mirror in the middle of a
# sync answers "File has unexpected size", apt-get update exits 100) is
# tried again a few times and then given up: the lists that did load are
# usually enough, and the install decides. apt-get waits for another apt or
# dpkg run's lock rather than failing, never asks questions, and runs
# through sudo when the caller is not root.
#
# Environment:
#   V2X_NO_INSTALL=1         never install: a missing package is an error,
#                            status 77, with one line naming what is missing
#                            (the tests set it, so that they never run apt)
#   APT_INSTALL_UPDATE_TRIES how often to try the refresh (default 3)
#   APT_INSTALL_UPDATE_PAUSE seconds between the tries (default 5)

# Per process: a script refreshes the lists at most once. Not taken from the
# environment, so a child script decides for itself.
_apt_lists_fresh=0

apt_get() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # Wait for another apt/dpkg run (an unattended upgrade, say) rather than
  # failing on its lock.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 "$@"
}

apt_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Prints those of PKG... that are not installed, on one line (nothing when
# all are).
apt_missing() {
  local p out=()
  for p in "$@"; do
    apt_installed "$p" || out+=("$p")
  done
  [ "${#out[@]}" -eq 0 ] || echo "${out[*]}"
}

# Refreshes the package lists, once per process. Never fails: after the
# last failed try it says so and leaves the decision to what comes next.
apt_update() {
  [ "$_apt_lists_fresh" -eq 0 ] || return 0
  local tries=${APT_INSTALL_UPDATE_TRIES:-3} pause=${APT_INSTALL_UPDATE_PAUSE:-5} i
  _apt_lists_fresh=1
  for ((i = 1; i <= tries; i++)); do
    apt_get update -qq && return 0
    [ "$i" -lt "$tries" ] && sleep "$pause"
  done
  echo "apt-install: apt-get update failed $tries times; going on with the package lists there are" >&2
  return 0
}

apt_install() {
  local opts=() pkgs=() missing a rc
  for a in "$@"; do
    case $a in
      -*) opts+=("$a") ;;
      *) pkgs+=("$a") ;;
    esac
  done
  missing=$(apt_missing "${pkgs[@]}")
  [ -n "$missing" ] || return 0
  if [ "${V2X_NO_INSTALL:-0}" = 1 ]; then
    echo "apt-install: not installed, and V2X_NO_INSTALL=1 forbids installing: $missing" >&2
    return 77
  fi
  local need
  read -r -a need <<<"$missing"
  echo "installing: $missing"
  apt_update
  rc=0
  apt_get install -y -qq "${opts[@]}" "${need[@]}" || rc=$?
  [ "$rc" -ne 0 ] || return 0
  missing=$(apt_missing "${need[@]}")
  echo "apt-install: could not install: ${missing:-${need[*]}}" >&2
  return 1
}
