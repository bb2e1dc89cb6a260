# Sourced by the scripts: installs the Debian packages the build and the tests need, when any
# is missing. apt-get runs as root, or through sudo.
DH_PACKAGES=(cmake ninja-build g++ pkg-config libmbedtls-dev libgtest-dev libgmock-dev socat
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
  libpng-dev libturbojpeg0-dev libswscale-dev libavutil-dev libavcodec-dev libbenchmark-dev)

dh_install_missing() {
  local missing=()
  for pkg in "${DH_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# dh_configure DIR [cmake options...]: configure DIR (a new one with Ninja).
dh_configure() {
  local dir=$1; shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$DH_TOP" -B "$dir" "$@" >/dev/null
  else
    cmake -S "$DH_TOP" -B "$dir" -G Ninja "$@" >/dev/null
  fi
}
