#!/usr/bin/env bash
# Installs what the build needs on a Debian 12 machine, touching only the
# packages that are missing, and configures and builds the project.
# Sourced by run.sh and test.sh.

calmora_packages=(
    g++ cmake ninja-build pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev qt6-svg-dev qt6-image-formats-plugins libexiv2-dev libtiff-dev zlib1g-dev
    libdeflate-dev libjpeg62-turbo-dev
    # HEIC and AVIF through libheif, JPEG XL through libjxl, camera raw
    # files through LibRaw; the format tests' reference decoders and
    # encoders (dwebp, heif-enc, heif-convert, cjxl, djxl).
    libheif-dev libjxl-dev libraw-dev webp libheif-examples libjxl-tools
    # Installing and its checks: the icon's PNG sizes, the validators of the
    # desktop entry and metainfo, and the large-batch recipe's test.
    librsvg2-bin desktop-file-utils appstream parallel
    # The GIMP plug-in, and GIMP to test it headless; the darktable script's
    # test runs it under plain Lua.
    libgimp2.0-dev gimp lua5.4
    # The window driven with keystrokes under a virtual display.
    xvfb xauth xdotool
)

calmora_install_missing() {
    local missing=()
    local package
    for package in "${calmora_packages[@]}"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo="sudo"
        else
            echo "error: missing packages (${missing[*]}) and not running as root" >&2
            return 1
        fi
    fi
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# calmora_build DIR [cmake options...]
calmora_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}
