# Sourced by run.sh and test.sh: installs the Debian packages that are missing
# (as root, or through sudo), then configures and builds through the presets.

# Cross compiler and lld, Wine (with its 32-bit half), qemu-i386 for that half
# where the kernel has no 32-bit support, virtual display and window driving,
# GoogleTest sources, the PE reader, ImageMagick's `import` for the picture,
# ffmpeg to read and decode the recordings, clang-format for the style
# check, and the release's signing tools.
selnary_packages=(
  cmake make git python3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 lld
  wine wine32 wine64 qemu-user-static
  xvfb xdotool
  googletest python3-pefile
  imagemagick ffmpeg
  clang-format
  openssl osslsigncode
)

install_missing_packages() {
  local missing=() package need_i386= as_root=()
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=yes
  fi
  for package in "${selnary_packages[@]}"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
      missing+=("$package")
    fi
  done
  [ -z "$need_i386" ] && [ ${#missing[@]} -eq 0 ] && return 0

  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "error: missing Debian packages: ${missing[*]:-none}${need_i386:+ (and the i386 architecture)}" >&2
      echo "Run this command as root, or install them first:" >&2
      [ -n "$need_i386" ] && echo "  dpkg --add-architecture i386" >&2
      echo "  apt-get update && apt-get install ${missing[*]}" >&2
      exit 1
    fi
    as_root=(sudo)
    echo "Installing through sudo (everything else runs as $(id -un)): ${missing[*]}${need_i386:+ (adding the i386 architecture for wine32)}"
  else
    echo "Installing: ${missing[*]}${need_i386:+ (adding the i386 architecture for wine32)}"
  fi
  [ -n "$need_i386" ] && "${as_root[@]}" dpkg --add-architecture i386
  echo "Reading Debian's package lists..."
  update_package_lists "${as_root[@]}"
  echo "Downloading and installing ${#missing[@]} packages and what they need (a few minutes on a fresh machine)..."
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  echo "Installed."
}

# update_package_lists [sudo]: apt-get update, tried again for up to fifteen
# minutes while a mirror is mid-sync ("File has unexpected size", "Hash Sum
# mismatch"), which it is for a few minutes at a time; any other failure stops.
update_package_lists() {
  local said tries=1
  until said=$("$@" apt-get update -qq 2>&1) && ! grep -q '^E:' <<<"$said"; do
    if [ "$tries" -ge 30 ] || ! grep -qE 'unexpected size|Mirror sync in progress|Hash Sum mismatch' <<<"$said"; then
      printf '%s\n' "$said" >&2
      echo "error: apt-get update failed (after $tries tries)" >&2
      return 1
    fi
    echo "apt-get update: the mirror is mid-sync; trying again in 30 s ($tries of 30)" >&2
    sleep 30
    tries=$((tries + 1))
  done
}

# Wine runs only in prefixes that belong to the user running it, and a build
# tree made by someone else cannot be written: say so before anything fails
# inside them.
check_build_owner() {
  local foreign
  [ -e build ] || return 0
  foreign=$(find build -maxdepth 2 ! -user "$(id -u)" -print -quit)
  if [ -n "$foreign" ]; then
    echo "error: $foreign belongs to $(stat -c %U "$foreign"), not to $(id -un)." >&2
    echo "A build tree is used by one user only: run as $(stat -c %U "$foreign"), or remove build/ first." >&2
    exit 1
  fi
}

# build_preset PRESET [CMAKE CONFIGURE ARGS...]
build_preset() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null
  cmake --build --preset "$preset" --parallel "$(nproc)"
}

# say_x86_support BUILD_DIR: how x86 programs run here, in one line, as that
# build's configure found it (tools/lib/winesession/x86.py). Where they cannot
# run, what stops says why instead.
say_x86_support() {
  (
    source "$1/wine-tools.sh" 2>/dev/null || exit 0
    [ -z "$WINE_UNAVAILABLE" ] && [ -n "$X86_SUMMARY" ] && echo "$X86_SUMMARY"
    exit 0
  )
}
