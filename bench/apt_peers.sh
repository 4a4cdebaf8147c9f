# Sourced by the benchmark scripts: `apt_peers pkg...` installs the Debian
# packages among the arguments that are missing (with sudo when not root,
# updating the package lists once if the first try fails) and says which
# could not be installed; the benchmark then runs without them.
apt_peers() {
  local missing=() p sudo_cmd=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  if ! { $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null 2>&1 ||
         { $sudo_cmd apt-get update -qq && $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null; }; }; then
    echo "could not install ${missing[*]}: the benchmark runs without them" >&2
  fi
  return 0
}
