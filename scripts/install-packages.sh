# Sourced by the commands: install_packages PACKAGE... installs with apt-get
# those of the Debian packages that are missing. It returns 1, having said
# why, when some are missing and cannot be installed.
install_packages() {
  local missing=() package log
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${missing[*]} (install them as root)" >&2
    return 1
  fi
  echo "installing: ${missing[*]}" >&2
  log=$(mktemp)
  if ! { DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "could not install ${missing[*]}" >&2
    return 1
  fi
  rm -f "$log"
}
