# Debian packages the build and the tests need, and the function that installs the missing ones.
# Sourced by run.sh and test.sh; add a package here and both scripts install it.

KEL_DEB_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 unicode-data tzdata
  clang
  libssl-dev
  lua5.4
  zlib1g-dev
  libcairo2-dev
  libcurl4-openssl-dev openssl
  libpng-dev libjpeg62-turbo-dev libtiff-dev libgif-dev libjpeg-turbo-progs
  libgtk-3-dev xvfb xauth
)

# Installs the packages of KEL_DEB_PACKAGES that dpkg does not report as installed. Runs
# apt-get only when something is missing; as a non-root user it goes through sudo.
kel_install_deps() {
  local missing=() pkg
  for pkg in "${KEL_DEB_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q >&2
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
