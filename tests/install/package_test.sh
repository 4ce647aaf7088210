#!/usr/bin/env bash
# The Debian package as a user gets it: built with cpack from the build folder given as $1,
# unpacked into a scratch root, and the installed tools run from there. Then the help texts,
# the manual pages and the README are checked to give the same exit codes.
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
deb="$(ls "$scratch"/pkg/*.deb)"

# Metadata: the name, a version, a section, a maintainer, and the libraries found by
# dpkg-shlibdeps among the dependencies.
[ "$(dpkg-deb --field "$deb" Package)" = nivo-sfx ] || fail "package name"
[[ "$(dpkg-deb --field "$deb" Version)" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version"
[ "$(dpkg-deb --field "$deb" Section)" = utils ] || fail "section"
[ -n "$(dpkg-deb --field "$deb" Maintainer)" ] || fail "maintainer"
depends="$(dpkg-deb --field "$deb" Depends)"
[[ "$depends" == *libc6* && "$depends" == *libstdc++6* ]] || fail "Depends: $depends"

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
usr="$root/usr"
[ -s "$usr/share/doc/nivo-sfx/copyright" ] || fail "no share/doc/nivo-sfx/copyright"
for tool in nivosfx mksfx mklzh; do
  [ -x "$usr/bin/$tool" ] || fail "$tool not in usr/bin"
  [[ "$(readelf -S "$usr/bin/$tool")" != *.symtab* ]] || fail "$tool is not stripped"
  [[ "$("$usr/bin/$tool" --version)" =~ ^$tool\ \(Nivo\ SFX\)\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$tool --version"
  page="$usr/share/man/man1/$tool.1.gz"
  [ -f "$page" ] || fail "no manual page for $tool"
  if command -v groff >/dev/null; then
    warnings="$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)"
    [ -z "$warnings" ] || fail "$tool.1: $warnings"
  fi
  completion="$usr/share/bash-completion/completions/$tool"
  [ -f "$completion" ] || fail "no completion for $tool"
  bash -n "$completion" || fail "completion for $tool"
done

# The installed tools at work: mklzh packs, mksfx builds a self-extracting file, nivosfx
# unpacks it. An installed mksfx takes the installed program image by itself.
work="$scratch/work"
mkdir -p "$work/in/sub"
printf 'hello\n' >"$work/in/a.txt"
head -c 100000 /dev/urandom >"$work/in/sub/b.bin"
"$usr/bin/mklzh" "$work/in.lzh" -C "$work/in" a.txt sub
if [ -f "$usr/share/nivo-sfx/sfx.exe" ]; then
  [ "$(stat -c %s "$usr/share/nivo-sfx/sfx.exe")" = 19968 ] || fail "installed sfx.exe size"
  (cd "$work" && "$root/usr/bin/mksfx" setup.exe --archive in.lzh --title Test --destination Test)
else
  echo "no sfx.exe in the package (scripts/build_stub.sh builds it); mksfx gets a stand-in image"
  python3 -c "import sys; sys.stdout.buffer.write(b'MZ' + bytes(19966))" >"$work/image.exe"
  (cd "$work" && "$root/usr/bin/mksfx" --stub image.exe setup.exe --archive in.lzh --title Test \
    --destination Test)
fi
(cd "$work" && "$usr/bin/nivosfx" x setup.exe -y -q)
cmp "$work/in/a.txt" "$work/Test/a.txt" || fail "a.txt differs"
cmp "$work/in/sub/b.bin" "$work/Test/sub/b.bin" || fail "sub/b.bin differs"

# Every exit code a tool's --help gives is in its manual page and in the README.
for tool in nivosfx mksfx mklzh; do
  help="$("$usr/bin/$tool" --help)"
  codes="$(printf '%s\n' "$help" | sed -n '/^exit codes:/,$p; /^Exit status:/,$p' |
           grep -oE '(^ +|[ ,;] ?)[0-9]{1,2}( |$)' | grep -oE '[0-9]+' | sort -un)"
  [ -n "$codes" ] || fail "$tool --help gives no exit codes"
  page="$(zcat "$usr/share/man/man1/$tool.1.gz")"
  readme="$(sed -n "/<!-- exit codes: $tool -->/,/^\$/p" "$source_dir/README.md")"
  [ -n "$readme" ] || fail "README has no exit-code table for $tool"
  for code in $codes; do
    printf '%s\n' "$page" | sed -n '/^\.SH EXIT STATUS/,/^\.SH/p' | grep -qx "\.B $code" ||
      fail "$tool.1 lacks exit code $code"
    printf '%s\n' "$readme" | grep -q "^| $code |" || fail "README lacks $tool's exit code $code"
  done
done
echo "package $(basename "$deb"): installed and run from a scratch root"
