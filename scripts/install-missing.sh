# Sourced by the scripts that need Debian packages: install_missing PACKAGE... installs those
# that are not installed yet (as root, without questions). apt's talk goes to standard error,
# so that a script's output stays its own.
install_missing() {
  local need=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  ((${#need[@]})) || return 0
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2
  apt-get install -y -q "${need[@]}" >&2
}
