#!/usr/bin/env bash
# Cross-builds mbedTLS 2.28 for the Windows programs from Debian 12's own source package
# (mbedtls 2.28.3-1, the source of the libmbedtls-dev the Linux build links) with the project's
# MinGW-w64 toolchain, as static libraries, into build/third_party/mbedtls-mingw (include/, lib/).
#
#   scripts/build-mbedtls-mingw.sh
#
# Pinned: the .dsc must have the SHA-256 below; dpkg-source checks the two tarballs against the
# .dsc's checksums while it extracts them (and would apply Debian's patches; this version has
# none). The library is configured as Debian configures its package: the `scripts/config.py set`
# lines of debian/rules (threading, CMAC, DTLS-SRTP, ...) are applied to config.h before CMake
# runs. Debian's hardening compiler flags are not: they are for its Linux toolchain.
#
# Idempotent: when the prefix holds the libraries built from the pinned .dsc (the stamp file
# there names its checksum and this script's recipe), it does nothing. The downloaded files stay
# in build/third_party/cache/mbedtls; a rerun with them in place and intact downloads nothing.
# The only network use is apt's: `apt-get source --download-only`, which needs a deb-src entry
# for bookworm. When apt has none, this script adds one as a file of its own,
# /etc/apt/sources.list.d/vmds-debian-src-bookworm.sources (a copy of Debian's deb entry with
# Types: deb-src), and runs apt-get update (as root, or through sudo).
set -euo pipefail

readonly version=2.28.3-1
readonly dsc_name=mbedtls_${version}.dsc
readonly dsc_sha256=a8bf91b5ffb40654efb0ebe0c962ac1e87b8eed5e104880982eaa70dd4bb33e3
# Bump when the build below changes, so that an existing prefix is rebuilt.
readonly recipe=1

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
third_party=$repo/build/third_party
cache=$third_party/cache/mbedtls
prefix=$third_party/mbedtls-mingw
stamp=$prefix/vmds-build.stamp
stamp_text="mbedtls $dsc_name sha256 $dsc_sha256 recipe $recipe"
libs=(libmbedtls.a libmbedx509.a libmbedcrypto.a)

say() { echo "build-mbedtls-mingw: $*" >&2; }

# Removes a directory this script made; refuses any path outside build/third_party.
remove_own_dir() {
  case "$1" in
    "$third_party"/?*) rm -rf -- "$1" ;;
    *) say "refusing to delete $1 (not under $third_party)"; exit 1 ;;
  esac
}

installed() {
  [[ -f "$stamp" && "$(cat "$stamp")" == "$stamp_text" && -f "$prefix/include/mbedtls/version.h" ]] \
    || return 1
  local lib
  for lib in "${libs[@]}"; do [[ -f "$prefix/lib/$lib" ]] || return 1; done
}

# The cached .dsc has the pinned checksum and every file it lists is there with its checksum.
cache_verified() {
  [[ -f "$cache/$dsc_name" ]] || return 1
  [[ "$(sha256sum "$cache/$dsc_name" | cut -d' ' -f1)" == "$dsc_sha256" ]] || return 1
  local sum size name listed=0
  while read -r sum size name; do
    listed=$((listed + 1))
    [[ -f "$cache/$name" && "$(stat -c %s "$cache/$name")" == "$size" ]] || return 1
    [[ "$(sha256sum "$cache/$name" | cut -d' ' -f1)" == "$sum" ]] || return 1
  done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/{/^ /p}' "$cache/$dsc_name")
  ((listed > 0))
}

as_root() {
  if [[ "$(id -u)" -eq 0 ]]; then "$@"; else sudo "$@"; fi
}

has_bookworm_deb_src() {
  # shellcheck disable=SC2016  # $(RELEASE) is apt's field, not the shell's
  apt-get indextargets --no-release-info --format '$(RELEASE)' 'Created-By: Sources' 2>/dev/null \
    | grep -x bookworm >/dev/null
}

add_deb_src() {
  local file=/etc/apt/sources.list.d/vmds-debian-src-bookworm.sources
  say "no deb-src entry for bookworm: adding $file"
  as_root tee "$file" >/dev/null <<'EOF'
# Debian 12 source packages, added by the vmds project's scripts/build-mbedtls-mingw.sh (it builds
# mbedTLS for the Windows programs from Debian's source package).
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
}

download() {
  if ! apt-cache showsrc "mbedtls=$version" 2>/dev/null | grep -x "Version: $version" >/dev/null; then
    has_bookworm_deb_src || add_deb_src
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 update -qq
  fi
  mkdir -p "$cache"
  (cd "$cache" && apt-get source -qq --download-only "mbedtls=$version")
}

main() {
  mkdir -p "$third_party"
  exec 9>"$third_party/.mbedtls.lock"
  flock 9   # one build at a time; a second run waits and then finds it done

  if installed; then
    say "up to date: $prefix ($dsc_name)"
    return 0
  fi
  for tool in apt-get dpkg-source cmake ninja python3 x86_64-w64-mingw32-gcc-posix; do
    command -v "$tool" >/dev/null || { say "$tool is missing (scripts/setup.sh --all)"; exit 1; }
  done

  if ! cache_verified; then
    say "fetching Debian's source package mbedtls $version"
    download
    if [[ "$(sha256sum "$cache/$dsc_name" | cut -d' ' -f1)" != "$dsc_sha256" ]]; then
      say "$dsc_name does not have the pinned SHA-256 $dsc_sha256"
      exit 1
    fi
    cache_verified || { say "a file of $dsc_name is missing or has another checksum"; exit 1; }
  fi

  local src=$third_party/mbedtls-src build=$third_party/mbedtls-build staging=$prefix.new
  local dir
  for dir in "$src" "$build" "$staging"; do [[ ! -e "$dir" ]] || remove_own_dir "$dir"; done

  # Checks the tarballs against the .dsc and applies Debian's patches. Its warning that the
  # .dsc's signature cannot be verified is expected (no Debian keyring installed): the pinned
  # checksum of the .dsc stands in for the signature.
  dpkg-source --no-copy -x "$cache/$dsc_name" "$src" >/dev/null

  # Debian's configuration of config.h, as its debian/rules sets it.
  local options
  options=$(sed -n 's/^[[:space:]]*scripts\/config\.py set \([A-Z0-9_]*\)[[:space:]]*$/\1/p' \
            "$src/debian/rules")
  [[ -n "$options" ]] || { say "no config.py lines found in debian/rules"; exit 1; }
  local option
  for option in $options; do
    (cd "$src" && python3 scripts/config.py set "$option")
  done
  say "config.h as Debian's: ${options//$'\n'/ }"

  local started=$SECONDS
  nice cmake -S "$src" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$staging" \
    -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
    -DMBEDTLS_FATAL_WARNINGS=OFF >/dev/null
  nice cmake --build "$build" -j2
  cmake --install "$build" >/dev/null
  echo "$stamp_text" >"$staging/vmds-build.stamp"

  [[ ! -e "$prefix" ]] || remove_own_dir "$prefix"
  mv "$staging" "$prefix"
  remove_own_dir "$src"
  remove_own_dir "$build"
  say "installed $prefix in $((SECONDS - started)) s"
}

main "$@"
