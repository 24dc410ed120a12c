# Shared by scripts/build, scripts/test and scripts/demo: installs the
# Debian packages a step needs when they are missing.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"
    elif command -v sudo >/dev/null 2>&1; then sudo "$@"
    else return 1
    fi
}

APT_UPDATED=
# A mirror caught mid-sync fails one index (seen: security's i386 one) and
# apt-get update exits non-zero; the other lists are fresh all the same, so
# the install that follows decides.
apt_update_once() {
    [ -n "$APT_UPDATED" ] && return 0
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq ||
        echo "apt-get update failed for some index; installing from the lists it has." >&2
    APT_UPDATED=1
}

# try_packages PKG...: installs those not installed (PKG may be name:arch);
# returns 1 when apt cannot. An i386 architecture added for them and left
# unused is taken away again: a broken i386 index would fail every later
# install.
try_packages() {
    local missing=() p added=
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    for p in "${missing[@]}"; do
        case "$p" in
        *:i386)
            if ! dpkg --print-foreign-architectures | grep -qx i386; then
                as_root dpkg --add-architecture i386 || break
                added=1
                APT_UPDATED=
            fi ;;
        esac
    done
    echo "Installing: ${missing[*]}" >&2
    if { apt_update_once && as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }; then
        return 0
    fi
    if [ -n "$added" ] && [ -z "$(dpkg-query -W -f='${Package}\n' '*:i386' 2>/dev/null)" ]; then
        as_root dpkg --remove-architecture i386 && APT_UPDATED=
    fi
    return 1
}

# need_packages PKG...: as try_packages, but a failure ends the script.
need_packages() {
    try_packages "$@" && return 0
    echo "Could not install these Debian packages; install them as root: $*" >&2
    exit 1
}

# unpack_deb NAME: prints a folder holding the files of Debian package NAME,
# unpacked once under build/debs without installing it (the FTP servers
# conflict with one another as packages). Its libraries must be installed.
unpack_deb() {
    local name=$1 dir="$ROOT/build/debs/$1" tmp
    if [ ! -e "$dir/root" ]; then
        mkdir -p "$ROOT/build/debs" && tmp=$(mktemp -d "$ROOT/build/debs/.$name.XXXXXX") || return 1
        if ! ( cd "$tmp" && { apt-get download -qq "$name" 2>/dev/null ||
                               { apt_update_once && apt-get download -qq "$name"; }; } ) >&2 ||
           ! dpkg -x "$tmp/${name}"_*.deb "$tmp/root"; then
            rm -rf "$tmp"
            return 1
        fi
        # Whole or not at all, should two test runs unpack it together.
        mv -T "$tmp" "$dir" 2>/dev/null || rm -rf "$tmp"
    fi
    echo "$dir/root"
}

# The Linux program alone (scripts/demo needs no more).
LINUX_BUILD_PACKAGES=(cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev python3 scdoc libssl-dev)
# All three programs: the Windows ones are cross-built at both widths.
BUILD_PACKAGES=("${LINUX_BUILD_PACKAGES[@]}" g++-mingw-w64-i686 g++-mingw-w64-x86-64)
# pure-ftpd itself is unpacked by the tests (unpack_deb); its libraries are here.
TEST_PACKAGES=(wine wine64 xvfb xauth xdotool vsftpd python3-pytest python3-pytest-xdist python3-pyftpdlib
               python3-pexpect libsodium23 libcap2 libssl3 openssl python3-openssl
               dbus-daemon gnome-keyring libsecret-tools libsecret-1-0 iproute2)

# wine_bits: the width of the Windows program the tests run, 32 or 64.
# QELTA_WINE_BITS forces it; otherwise 32 where this host runs 32-bit code.
wine_bits() {
    case "${QELTA_WINE_BITS:-}" in
    32|64) echo "$QELTA_WINE_BITS" ;;
    "") if "$ROOT/scripts/runs-32bit"; then echo 32; else echo 64; fi ;;
    *) echo "QELTA_WINE_BITS must be 32 or 64, not '$QELTA_WINE_BITS'" >&2; return 1 ;;
    esac
}
# The packages and the manual page (scripts/package): scdoc renders the
# page, dpkg-shlibdeps (dpkg-dev) computes the .deb's dependencies, and
# man-db checks the installed page. lintian is installed by scripts/package.
PACKAGE_PACKAGES=(scdoc dpkg-dev man-db gzip)
# libFuzzer and the sanitizer runtimes for the fuzz targets (scripts/fuzz).
FUZZ_PACKAGES=(clang libclang-rt-14-dev libssl-dev)

