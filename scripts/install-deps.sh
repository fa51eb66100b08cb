#!/usr/bin/env bash
# Installs every Debian package that building, testing, fuzzing and
# benchmarking need. Safe to run again: apt-get skips what is present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev            # the clang build; libFuzzer and the sanitizer runtimes (fuzz.sh)
  libgtest-dev libgmock-dev           # unit tests
  libbenchmark-dev zlib1g-dev libdeflate-dev   # benchmark baselines only
  zip unzip 7zip python3              # independent archive peers in tests
  libsqlite3-dev                      # the registry's hives
  libbz2-dev liblzma-dev libzstd-dev  # the methods of later tools in the ZIP engine (bzip2, LZMA, XZ, Zstandard)
  libssl-dev                          # AES encryption of ZIP entries (libcrypto)
  openssl                             # Blowfish peer in the settings tests
  libgmime-3.0-dev                    # MIME engine of the message store
  mutt mpack                          # mail programs that make the store tests' corpus and send through corvid
  git-email libmailtools-perl libemail-valid-perl   # git send-email (and the modules it needs) through corvid sendmail in the send tests
  file lintian                        # the Debian package: cpack's dependency scan and its check
  qt6-base-dev libgl-dev              # the dialogs' Qt presenter (Widgets, Test)
  xvfb xauth                          # an X server for running the dialogs by hand without a display
)

need=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done

if ((${#need[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${need[@]}"
fi
