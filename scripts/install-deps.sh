#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running the updater
# need, skipping those already installed. Runs apt-get as root, or through sudo.
#   scripts/install-deps.sh            build and test dependencies
#   scripts/install-deps.sh fuzz       ... and clang with its fuzzing runtime
#   scripts/install-deps.sh display    ... and a virtual X display for the demo
#   scripts/install-deps.sh package    ... and what finds a Debian package's dependencies and checks it
#   scripts/install-deps.sh windows    ... and what cross-builds for Windows, runs its tests under Wine and packs it
set -euo pipefail

# desktop-file-utils, libxml2-utils and groff-base check the installed desktop entry, icon and manual
# page; libqt6svg6 draws the window's icon; libssl-dev gives the SHA-256 of every file sent;
# libboost-context-dev switches the stacks of the many-board scheduler.
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libssl-dev libboost-context-dev libgtest-dev libgmock-dev iproute2 fonts-dejavu-core
          desktop-file-utils libxml2-utils groff-base libqt6svg6)
for extra in "$@"; do
  case "$extra" in
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    display) packages+=(xvfb xauth) ;;
    package) packages+=(dpkg-dev lintian) ;;
    # MinGW-w64 with posix threads (Qt for MinGW is built with it), Debian's Qt host tools (moc, rcc) for the
    # cross build, xz-utils to unpack Qt for MinGW (scripts/windows-qt.sh), Wine to run the tests, zip and
    # NSIS for the packages; dpkg-dev gives apt-get source what it needs when Qt is built from source.
    windows) packages+=(g++-mingw-w64-x86-64-posix qt6-base-dev-tools xz-utils wine wine64 zip nsis dpkg-dev) ;;
    *) echo "install-deps: unknown group '$extra'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
