# Sourced by the scripts beside it: installs the Debian packages a script
# needs and this machine lacks, so a fresh machine needs no set-up by hand.
#   ensure_packages NAME...    returns non-zero when they cannot be installed

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ "$(id -u)" != 0 ]]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or apt-get install them)" >&2
    return 1
  fi
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
