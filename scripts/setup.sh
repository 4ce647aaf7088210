# Shared set-up of the project's scripts: installs Debian packages that are missing.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    # Two set-ups at once (two checkouts on one machine) wait for each other's apt-get.
    $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Installs the native toolchain when missing and configures the native build in $build.
configure_native() {
  need_packages cmake ninja-build g++ libgtest-dev nlohmann-json3-dev zlib1g-dev libdeflate-dev dpkg-dev
  build="$here/build/native"
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
}
