# Sourced by the scripts beside it: installs the Debian packages a script
# needs and this machine lacks, so a fresh machine needs no set-up by hand.
#   ensure_packages NAME...    returns non-zero when they cannot be installed
#   ensure_service_account     the account kqsd, in CUPS's SystemGroup lpadmin

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

# The daemon's service account: the system account kqsd with its own group,
# the one account in CUPS's SystemGroup lpadmin (never lp: CUPS runs filters
# and backends as lp). Made only where missing.
#   ensure_service_account
ensure_service_account() {
  getent group lpadmin >/dev/null || groupadd --system lpadmin
  getent passwd kqsd >/dev/null ||
    useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin kqsd
  id -nG kqsd | tr ' ' '\n' | grep -qx lpadmin || usermod -a -G lpadmin kqsd
}
