#!/usr/bin/env bash
# Checks of what is released: the manual page, the installed tree, the
# packages, the Windows version resource and the source formatting.
set -euo pipefail
check=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "$check: $*" >&2
  exit 1
}

case $check in
man) # man -l renders the page, without a single warning
  warnings=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >"$scratch/page") || fail "man failed"
  [ -z "$warnings" ] || fail "warnings: $warnings"
  grep -q 'synchronization failed' "$scratch/page" || fail "the page lacks its messages"
  ;;
install) # cmake --install puts the program and its page in place
  cmake --install "$1" --prefix "$scratch" >/dev/null
  [ -x "$scratch/bin/tarvick" ] || fail "no bin/tarvick"
  [ -f "$scratch/share/man/man1/tarvick.1" ] || fail "no share/man/man1/tarvick.1"
  ;;
deb) # the .deb holds the program and its page, at the project's version
  (cd "$1" && cpack -G DEB -B "$scratch" >/dev/null)
  deb=$(ls "$scratch"/tarvick_"$2"_*.deb) || fail "no tarvick_$2 .deb"
  contents=$(dpkg-deb -c "$deb")
  grep -q ' ./usr/bin/tarvick$' <<<"$contents" || fail "no /usr/bin/tarvick in $deb"
  grep -q ' ./usr/share/man/man1/tarvick.1' <<<"$contents" || fail "no manual page in $deb"
  ;;
zip) # the Windows .zip holds tarvick.exe
  (cd "$1" && cpack -G ZIP -B "$scratch" >/dev/null)
  (cd "$scratch" && cmake -E tar tf "tarvick-$2-win32.zip") | grep -qx 'tarvick.exe' ||
    fail "no tarvick.exe in tarvick-$2-win32.zip"
  ;;
version) # the Windows program names itself and its version
  strings -el "$1" >"$scratch/strings"
  grep -A1 -x 'ProductName' "$scratch/strings" | grep -qx tarvick || fail "no product name"
  grep -A1 -x 'ProductVersion' "$scratch/strings" | grep -qx "$2" || fail "no version $2"
  grep -A1 -x 'FileDescription' "$scratch/strings" | tail -1 | grep -q . || fail "no description"
  # Large-address-aware (0x20 in the file header's characteristics).
  i686-w64-mingw32-objdump -p "$1" >"$scratch/headers"
  grep -q 'large address aware' "$scratch/headers" || fail "not large-address-aware"
  # Its manifest: UTF-8 names and long paths.
  strings "$1" >"$scratch/manifest"
  grep -q 'activeCodePage.*>UTF-8<' "$scratch/manifest" || fail "no UTF-8 code page in the manifest"
  ;;
format) # the tree is formatted as .clang-format says
  cd "$1"
  git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
  ;;
*)
  fail "unknown check"
  ;;
esac
