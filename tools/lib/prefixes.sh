# Sourced by wine-session.sh: Wine prefixes, the template they are copied
# from, and the registry settings a session makes in them.
#
# The project's prefixes are copies of one template per Wine version, made once
# per folder. A copy shares the template's installed binaries through hard
# links and has its own registry and every other text file, and it is made anew
# for every session, so nothing lingers from an earlier run.
#
# Wine's own tools (wineboot, reg.exe) run through wine_tool: the 64-bit
# loader wherever the prefix has a 64-bit side, so that under emulation only
# the program under test, and what must be 32-bit, runs emulated.

# Keeps Wine from offering to install its Mono and Gecko add-ons.
wine_base_overrides="mscoree,mshtml="

restore_keys=()    # registry keys temporary_setting changed, in order
restore_files=()   # their exports from before, or "" where a key did not exist

# choose_wine_tool: sets wine_tool for WINEPREFIX, which may not exist yet;
# a new prefix is a 64-bit one wherever Wine has its 64-bit loader.
choose_wine_tool() {
  wine_tool=$WINE
  if [ -n "${WINE64:-}" ] && ! grep -qs '^#arch=win32' "$WINEPREFIX/system.reg"; then
    wine_tool=$WINE64
  fi
}

# windows_path PATH: the Windows name of a file of this machine (Wine's Z: drive).
windows_path() {
  local path
  path=$(readlink -f "$1")
  printf 'Z:%s' "${path//\//\\}"
}

# The folder with Wine's own TrueType fonts (Tahoma, Marlett for the title-bar
# buttons), as a Windows path; empty where there is none.
wine_fonts_folder() {
  local bin dir
  bin=$(dirname "$(readlink -f "$WINE")")
  for dir in "$bin/../share/wine/fonts" "$bin/../../share/wine/fonts"; do
    if [ -f "$dir/marlett.ttf" ]; then
      windows_path "$dir"
      return 0
    fi
  done
}

# Debian's Wine 8 looks for its fonts at "<data dir>\../fonts", a path with
# ".." that Wine's own file system layer cannot open, so dialogs fall back to
# other fonts and the close button shows Marlett's letter "r". Naming the
# folder in Wine's font path makes them load; where Wine finds them itself,
# loading them twice is harmless.
wine_add_font_path() {
  local fonts
  fonts=$(wine_fonts_folder)
  [ -n "$fonts" ] || return 0
  wine_reg add 'HKCU\Software\Wine\Fonts' /v Path /t REG_SZ /d "$fonts" /f
}

# template_manifest FOLDER: the sha256 of every file in FOLDER, in a fixed order.
template_manifest() {
  (cd "$1" && find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
}

# Sets template to the template for the Wine in use and makes it when missing.
# Prefix creation is slow (about 15 s natively, a minute more for its 32-bit
# half under emulation), so it happens once per folder, Wine version and
# 32-bit support, under a lock; other templates go when a new one is made.
wine_template() {
  local root version
  # The 64-bit loader where there is one: it starts on any kernel.
  if ! version=$("${WINE64:-$WINE}" --version 2>&1); then
    echo "error: ${WINE64:-$WINE} cannot start: $version" >&2
    return 1
  fi
  version=$(printf '%s' "$version" | tr -c 'A-Za-z0-9.+~-' '_')
  mkdir -p "$1"
  root=$(cd "$1" && pwd)  # Wine takes absolute paths only
  # Without 32-bit support a prefix gets no 32-bit half, so it is another template.
  [ "$X86_MODE" = none ] && version+=-without-x86
  template=$root/template-$version
  (
    "$FLOCK" 9
    [ -d "$template" ] && exit 0
    rm -rf "$root"/template "$root"/template-* "$root"/template.log
    local new=$template.new
    if ! (
      export WINEPREFIX=$new WINEDEBUG=-all WINEDLLOVERRIDES=$wine_base_overrides
      unset DISPLAY
      choose_wine_tool
      "$wine_tool" wineboot.exe -i && "$WINESERVER" -w && wine_add_font_path && "$WINESERVER" -w
    ) >"$root/template.log" 2>&1; then
      echo "error: Wine could not create a prefix in $new:" >&2
      cat "$root/template.log" >&2
      exit 1
    fi
    # What the template holds when made, for the check that nothing changes it.
    template_manifest "$new" >"$template.sha256"
    mv "$new" "$template"
  ) 9>"$root/template.lock" &
  # In the background, so that a signal to the caller takes effect at once.
  wait "$!"
}

wine_prefix_from_template() {
  local prefix=$1
  wine_template "$(dirname "$prefix")" || return 1
  rm -rf "$prefix" "$prefix.new"
  cp -al "$template" "$prefix.new"
  # Only the installed binaries stay shared; everything Wine may rewrite is copied.
  find "$prefix.new" -type f ! -iregex '.*\.\(dll\|exe\|drv\|sys\|vxd\|ocx\|cpl\|acm\|ax\|ds\|com\|nls\|tlb\)' -print0 |
    while IFS= read -r -d '' file; do
      cp -p "$file" "$file.copy" && mv -f "$file.copy" "$file"
    done
  mv "$prefix.new" "$prefix"
}

# prefix_install FILE DEST: puts FILE into a prefix made from the template.
# DEST may be a hard link into the template, so it is replaced, never written through.
prefix_install() {
  rm -f "$2"
  cp "$1" "$2"
}

# system_folder x86|x64: where the prefix keeps system DLLs for programs of
# that kind; a 64-bit prefix keeps the 32-bit ones in syswow64.
system_folder() {
  case $1 in
    x86) echo "$WINEPREFIX/drive_c/windows/syswow64" ;;
    x64) echo "$WINEPREFIX/drive_c/windows/system32" ;;
    *) echo "error: no system folder for '$1'" >&2; return 1 ;;
  esac
}

# install_compressor DLL ARCH CODE: installs DLL as a video compressor for
# programs of ARCH, the way a compressor's installer does: as CODE.dll in
# that system folder, named by vidc.CODE in that view of the registry.
install_compressor() {
  local view
  case $2 in
    x86) view=32 ;;
    x64) view=64 ;;
  esac
  prefix_install "$1" "$(system_folder "$2")/$3.dll"
  wine_reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32' /v "vidc.$3" /d "$3.dll" /reg:$view /f
}

# wine_reg ARGS...: Wine's reg.exe, quiet when it succeeds; when it fails, what
# it said (it writes its errors to standard output) and Wine's own errors go
# to standard error.
wine_reg() {
  local said status=0
  said=$(WINEDEBUG=fixme-all "$wine_tool" reg "$@" 2>&1) || status=$?
  [ "$status" -eq 0 ] || printf 'error: reg %s failed (%s): %s\n' "$1" "$status" "${said:-(nothing said)}" >&2
  return "$status"
}

# temporary_setting KEY NAME DATA: sets a registry value for this session only.
# Ending the session puts KEY back as it was, or removes it if it was not there.
temporary_setting() {
  local key=$1 saved=$session_dir/saved-${#restore_keys[@]}.reg
  if ! "$wine_tool" reg export "$key" "$(windows_path "$saved")" /y >/dev/null 2>&1; then
    saved=
  fi
  restore_keys+=("$key")
  restore_files+=("$saved")
  wine_reg add "$key" /v "$2" /d "$3" /f
}

restore_settings() {
  local i
  for ((i = ${#restore_keys[@]} - 1; i >= 0; i--)); do
    "$wine_tool" reg delete "${restore_keys[i]}" /f >/dev/null 2>&1 || true
    if [ -n "${restore_files[i]}" ]; then
      wine_reg import "$(windows_path "${restore_files[i]}")" ||
        echo "warning: could not put back ${restore_keys[i]} in $WINEPREFIX as it was" >&2
    fi
  done
  restore_keys=()
  restore_files=()
}

# Whether a wineserver serves WINEPREFIX now: something answers on its socket.
# The socket lies in a folder named after the prefix's device and inode,
# under /tmp/.wine-UID, or in the folder under TMPDIR that Debian's Wine
# names in the prefix's "wineserver" file. Inside an emulation namespace the servers' own processes
# cannot be asked (one started outside may not be looked into), the socket can.
wine_server_running() {
  local folder socket
  folder=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
  for socket in "${TMPDIR:-/tmp}/$(cat "$WINEPREFIX/wineserver" 2>/dev/null)/$folder/socket" \
    "/tmp/.wine-$(id -u)/$folder/socket"; do
    [ -S "$socket" ] || continue
    "$PYTHON" -c 'import socket, sys
client = socket.socket(socket.AF_UNIX)
client.settimeout(5)
client.connect(sys.argv[1])' "$socket" 2>/dev/null && return 0
  done
  return 1
}
