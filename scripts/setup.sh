#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# Safe to run any number of times.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  zlib1g-dev libssl-dev libfmt-dev libprotobuf-dev protobuf-compiler
  libgtest-dev libbenchmark-dev python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# apt_get ARGS...: apt-get, waiting while another install holds the package
# manager's locks (another of these scripts, say) for up to five minutes.
LOCK_WAIT=300
apt_get() {
  local deadline=$((SECONDS + LOCK_WAIT)) log
  log=$(mktemp)
  while true; do
    if $SUDO apt-get -o DPkg::Lock::Timeout=10 "$@" 2>"$log"; then
      rm -f "$log"
      return 0
    fi
    if ! grep -qE 'Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock' "$log" ||
       [ "$SECONDS" -ge "$deadline" ]; then
      cat "$log" >&2
      rm -f "$log"
      return 1
    fi
    echo "setup: another package install holds the lock; waiting"
    sleep 5
  done
}

apt_get update -qq
apt_get install -y -qq --no-install-recommends "${missing[@]}"
