#!/usr/bin/env bash
# The payloads the build embeds, and the build's refusal of unfit ones.
#   payloads_test.sh SOURCE_DIR I686_BUILD_DIR HOST_BIN_DIR
set -uo pipefail
src=$1 build=$2 host=$3
payloads=$build/payloads
check=$host/payload_check
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# payload_check: refused with a reason, accepted with the version printed.
refused() {  # file, expected message part
  local out; out=$("$check" "$1" 2>&1) && fail "$1 was accepted"
  grep -q -- "$2" <<<"$out" || fail "$1: message '$out' lacks '$2'"
}
refused "$build/bin/plugins/plugin-3.7.5.65535.dll" "3.7.5.65535 lies on an update line"
refused "$build/bin/plugins/plugin-3.8.0.0.dll" "3.8.0.0 lies on an update line"
refused "$build/bin/plugins/plugin-noversion.dll" "no version resource"
refused "$src/build/x86_64/bin/TagmindEngineMMLibUpdater.exe" "machine is not i386"
refused "$build/bin/TagmindEngineMMLibUpdater.exe" "not a DLL"
for v in 3.7.6.11250 3.8.6.11250 3.70.0.0 3.7.6.0; do
  lib=$build/payloads/libraries/TagmindEngineMMLib-$v.dll
  [ -f "$lib" ] || lib=$build/bin/plugins/plugin-$v.dll
  out=$("$check" "$lib" 2>&1) || fail "$lib refused: $out"
  [ "$out" = "$v" ] || fail "$lib: printed '$out', expected $v"
done

# The containers give back the libraries byte for byte (Debian's msexpand),
# with the sizes and versions of the corrected builds.
declare -A size=([130]=278528 [131]=274944) version=([130]=3.7.6.11250 [131]=3.8.6.11250) \
               product=([130]=3.7.6.0 [131]=3.8.6.0)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
for id in 130 131; do
  lib=$payloads/libraries/TagmindEngineMMLib-${version[$id]}.dll
  msexpand <"$payloads/payload-$id.szdd" >"$tmp/$id.dll" 2>/dev/null || fail "msexpand $id"
  cmp -s "$tmp/$id.dll" "$lib" || fail "payload $id does not expand to $lib"
  [ "$(stat -c %s "$lib")" = "${size[$id]}" ] || fail "payload $id: $(stat -c %s "$lib") bytes"
  [ "$(head -c 2 "$lib")" = MZ ] || fail "payload $id does not start with MZ"
  facts=$(/usr/bin/python3 - "$lib" <<'PY'
import sys, pefile
pe = pefile.PE(sys.argv[1])
f = pe.VS_FIXEDFILEINFO[0]
v = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xffff, ls >> 16, ls & 0xffff)
exports = sorted(e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols)
print(hex(pe.FILE_HEADER.Machine), pe.is_dll(), v(f.FileVersionMS, f.FileVersionLS),
      v(f.ProductVersionMS, f.ProductVersionLS), ",".join(exports))
PY
)
  expected="0x14c True ${version[$id]} ${product[$id]} DllCanUnloadNow,DllGetClassObject,DllRegisterServer,DllUnregisterServer"
  [ "$facts" = "$expected" ] || fail "payload $id: '$facts', expected '$expected'"
done

# Our packer against Debian's mscompress on the payloads: never larger.
for id in 130 131; do
  lib=$payloads/libraries/TagmindEngineMMLib-${version[$id]}.dll
  cp "$lib" "$tmp/$id.dll.in"
  mscompress "$tmp/$id.dll.in" >/dev/null 2>&1 || fail "mscompress $id"  # writes NAME_
  ours=$(stat -c %s "$payloads/payload-$id.szdd") theirs=$(stat -c %s "$tmp/$id.dll.in_")
  echo "payload $id: $ours bytes packed, mscompress $theirs ($(( (theirs - ours) * 1000 / theirs )) per mille smaller)"
  [ "$ours" -le "$theirs" ] || fail "payload $id: $ours bytes, larger than mscompress's $theirs"
done

# The build refuses a library on an update line given in place of a payload.
bad=$tmp/bad
cmake -S "$src" -B "$bad" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/mingw-i686.cmake" \
  -DTAGMIND_BUILD_TESTS=OFF -DTAGMIND_HOST_BIN_DIR="$host" \
  -DTAGMIND_PAYLOAD_LINE37="$build/bin/plugins/plugin-3.7.5.65535.dll" >"$tmp/configure.log" 2>&1 \
  || fail "configure with another payload: $(tail -3 "$tmp/configure.log")"
if cmake --build "$bad" --target updater_payloads >"$tmp/build.log" 2>&1; then
  fail "the build accepted a 3.7.5 library as the line 3.7 payload"
fi
grep -q "lies on an update line" "$tmp/build.log" || fail "the build's refusal does not say why"

echo "payloads: $((failures == 0 ? 1 : 0)) passed, $((failures > 0 ? 1 : 0)) failed"
[ $failures -eq 0 ]
