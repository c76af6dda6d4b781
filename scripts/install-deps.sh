#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running Tandrel need, and only those
# that are missing. Safe to run any number of times; uses sudo only when not already root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev
  libgtest-dev libgmock-dev
  libbenchmark-dev liblo-dev liboscpack-dev
  qt6-base-dev fonts-dejavu-core
)
# Extra groups, chosen by the caller: e.g. `install-deps.sh interop`.
for group in "$@"; do
  case "$group" in
    interop)
      packages+=(liblo-tools python3-liblo)
      # A Node.js from another source ships its own npm and conflicts with Debian's npm package.
      command -v node >/dev/null || packages+=(nodejs)
      command -v npm >/dev/null || packages+=(npm)
      ;;
    bench) packages+=(valgrind) ;;
    screenshot) packages+=(xvfb xauth x11-utils imagemagick) ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q -o DPkg::Lock::Timeout=600
"${sudo[@]}" apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
