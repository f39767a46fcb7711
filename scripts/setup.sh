#!/usr/bin/env bash
# Makes sure the build tools are installed. Sourced by demo.sh and test.sh; can be
# run on its own. On Debian: missing packages are installed with apt-get when
# running as root, otherwise the script names them and fails. Installs nothing
# when everything is present.

korvax_packages=(
    cmake                      # 3.25 or newer (CMakePresets.json version 6)
    ninja-build                # the generator of every preset
    g++                        # hosted build
    libgtest-dev               # GoogleTest
    libgmock-dev               # GoogleMock
    libbenchmark-dev           # Google Benchmark
    g++-mingw-w64-i686-win32   # Windows x86 driver build
    binutils-mingw-w64-i686    # its linker, objdump and nm
    g++-multilib               # the 32-bit hosted build that runs korvaxser.sys
    googletest                 # GoogleTest's sources, built there for 32-bit
    gcovr                      # the driver coverage report (scripts/coverage.sh)
)

# Installed with the others when running as root; otherwise only named, since the
# build and the tests run without them (the tests that need them skip with a message,
# and scripts/test.sh lists those skips). With CI set, where nothing may be skipped,
# a missing one fails as a required package does.
korvax_optional_packages=(
    tshark                     # decodes the simulator's USB captures
    python3-serial             # pyserial, the serial client of the pty tests
    ppp                        # chat, the dialer of the pty tests
    wvdial                     # wvdial, the other dialer
    picocom                    # the terminal programs the README's pty examples use
    socat
)

korvax_setup() {
    local missing=() optional=() package
    if command -v dpkg-query >/dev/null 2>&1; then
        for package in "${korvax_packages[@]}"; do
            if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]]; then
                missing+=("$package")
            fi
        done
        for package in "${korvax_optional_packages[@]}"; do
            if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]]; then
                optional+=("$package")
            fi
        done
        if [[ ${#optional[@]} -gt 0 && $(id -u) -ne 0 && -z ${CI:-} ]]; then
            echo "setup: optional packages not installed: ${optional[*]}" >&2
            echo "setup: the tests that need them will be skipped" \
                "(install with: sudo apt-get install -y ${optional[*]})" >&2
            optional=()
        fi
        missing+=("${optional[@]}")
    else
        # Not Debian: check the commands the packages provide.
        local tool
        for tool in cmake ninja g++ i686-w64-mingw32-g++ i686-w64-mingw32-objdump; do
            command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
        done
        if [[ ${#missing[@]} -gt 0 ]]; then
            echo "setup: missing tools: ${missing[*]}" >&2
            echo "setup: install CMake >= 3.25, Ninja, g++, GoogleTest/GoogleMock, Google Benchmark" >&2
            echo "setup: and the i686-w64-mingw32 cross compiler and binutils" >&2
            return 1
        fi
        return 0
    fi

    if [[ ${#missing[@]} -eq 0 ]]; then
        return 0
    fi
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup: missing packages: ${missing[*]}" >&2
        echo "setup: install them with:" >&2
        echo "    sudo apt-get install -y ${missing[*]}" >&2
        return 1
    fi
    echo "setup: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    # wireshark-common asks whether non-root users may capture: they may not.
    if command -v debconf-set-selections >/dev/null 2>&1; then
        echo "wireshark-common wireshark-common/install-setuid boolean false" |
            debconf-set-selections
    fi
    if ! { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; } </dev/null; then
        echo "setup: apt-get install failed for: ${missing[*]}" >&2
        return 1
    fi
}

# The fuzz preset needs clang with its libFuzzer runtime (Debian: clang and
# libclang-rt-14-dev). They are optional: installed when running as root and
# missing; otherwise the fuzz targets are skipped. Returns 0 when they work.
korvax_fuzz_packages=(clang libclang-rt-14-dev)

korvax_fuzzer_available() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d) || return 1
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$probe/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
        >/dev/null 2>&1
    local status=$?
    rm -rf "$probe"
    return $status
}

korvax_fuzz_setup() {
    korvax_fuzzer_available && return 0
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
        echo "setup: installing ${korvax_fuzz_packages[*]} for the fuzz targets" >&2
        export DEBIAN_FRONTEND=noninteractive
        { apt-get update && apt-get install -y --no-install-recommends \
            "${korvax_fuzz_packages[@]}"; } </dev/null >&2 || true
        korvax_fuzzer_available && return 0
    fi
    echo "setup: clang's libFuzzer runtime is not available; fuzz targets skipped" >&2
    echo "setup: (install with: sudo apt-get install -y ${korvax_fuzz_packages[*]})" >&2
    return 1
}

korvax_check_cmake_version() {
    local version
    version=$(cmake --version | awk 'NR == 1 { print $3 }')
    if ! printf '3.25\n%s\n' "$version" | sort -V -C; then
        echo "setup: CMake $version is too old: 3.25 or newer is needed" >&2
        return 1
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    set -euo pipefail
    korvax_setup
    korvax_check_cmake_version
    echo "setup: all build tools present"
else
    korvax_setup && korvax_check_cmake_version
fi
