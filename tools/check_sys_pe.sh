#!/usr/bin/env bash
# Static checks of a cross-built kernel driver image (qvsimdm.sys) and of the
# objects it was linked from. Nothing here loads the driver: it checks what a
# Windows loader and a kernel without a C/C++ runtime require of the file.
#
#   check_sys_pe.sh --arch i686|x64 --objdump OBJDUMP --nm NM --sys SYS
#                   --unstripped SYS_WITH_SYMBOLS --map MAP OBJECT...
#   check_sys_pe.sh --skip REASON      (toolchain missing: exit 77, "skipped")
#
# Exit status: 0 all checks pass, 1 a check failed, 2 usage, 77 skipped.
set -uo pipefail

SKIP=77
arch="" objdump="" nm="" sys="" unstripped="" map=""
objects=()

usage() {
    sed -n '2,9p' "$0" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        --skip)
            echo "SKIPPED: ${2:-Windows toolchain not available}"
            exit "$SKIP"
            ;;
        --arch) arch="${2:-}"; shift 2 ;;
        --objdump) objdump="${2:-}"; shift 2 ;;
        --nm) nm="${2:-}"; shift 2 ;;
        --sys) sys="${2:-}"; shift 2 ;;
        --unstripped) unstripped="${2:-}"; shift 2 ;;
        --map) map="${2:-}"; shift 2 ;;
        --help|-h) usage ;;
        --*) echo "unknown option $1" >&2; usage ;;
        *) objects+=("$1"); shift ;;
    esac
done
for v in "$arch" "$objdump" "$nm" "$sys" "$unstripped" "$map"; do
    [ -n "$v" ] || usage
done

case "$arch" in
    i686)
        want_format=pei-i386 want_magic=010b
        # stdcall: the decoration carries the 8 bytes of the two arguments.
        entry_symbol=_DriverEntry@8 map_symbol_re='^_?DriverEntry@8$'
        ;;
    x64)
        want_format=pei-x86-64 want_magic=020b
        entry_symbol=DriverEntry map_symbol_re='^DriverEntry$'
        ;;
    *) echo "unknown arch '$arch'" >&2; usage ;;
esac

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() {
    echo "ok:   $*"
}
# expect TEST-COMMAND... -- PASS-TEXT -- FAIL-TEXT
expect() {
    local args=() ok fail_text
    while [ "$1" != "--" ]; do args+=("$1"); shift; done
    ok="$2" fail_text="$4"
    if "${args[@]}"; then pass "$ok"; else fail "$fail_text"; fi
}
# Joins lines with spaces.
oneline() {
    paste -sd' ' -
}

for f in "$sys" "$unstripped" "$map" "${objects[@]}"; do
    if [ ! -f "$f" ]; then
        echo "FAIL: missing $f (was the default build run?)"
        exit 1
    fi
done
if [ ! -x "$objdump" ] || [ ! -x "$nm" ]; then
    echo "FAIL: $objdump or $nm is not executable (the toolchain changed since configuring?)"
    exit 1
fi

headers="$("$objdump" -p "$sys")" || { echo "FAIL: $objdump -p $sys"; exit 1; }
# First value of a "Name value" line of the PE header dump.
field() {
    awk -v k="$1" '$1 == k { print $2; exit }' <<<"$headers"
}
# Size of data directory entry N (e.g. 9 for TLS), as a number.
dir_size() {
    local v
    v="$(awk -v n="$1" '$1 == "Entry" && $2 == n { print $4; exit }' <<<"$headers")"
    echo $((16#${v:-0}))
}

echo "Checking $sys ($arch)"

# --- Format and subsystem -----------------------------------------------------
format="$(sed -n 's/.*file format \([^ ]*\).*/\1/p' <<<"$headers" | head -n1)"
expect [ "$format" = "$want_format" ] -- "file format $format" -- "file format '$format', want $want_format"

magic="$(field Magic)"
expect [ "$magic" = "$want_magic" ] -- "optional header magic $magic" -- "magic '$magic', want $want_magic"

subsystem="$(field Subsystem)"
if [ -n "$subsystem" ] && [ $((16#$subsystem)) -eq 1 ]; then
    pass "subsystem 1 (native)"
else
    fail "subsystem '$subsystem', want 1 (native)"
fi

characteristics="$(field Characteristics)"
if [ -z "$characteristics" ]; then
    fail "no Characteristics field"
elif (( (characteristics & 0x0002) == 0 )); then
    fail "characteristics $characteristics: not an executable image"
elif (( (characteristics & 0x2000) != 0 )); then
    fail "characteristics $characteristics: DLL bit set"
else
    pass "characteristics $characteristics: executable image, not a DLL"
fi

dllchar="$(field DllCharacteristics)"
if [ -n "$dllchar" ] && (( (16#$dllchar & 0x0040) != 0 )); then
    pass "DllCharacteristics $dllchar: DYNAMIC_BASE"
else
    fail "DllCharacteristics '$dllchar': DYNAMIC_BASE missing"
fi

# --- Entry point is DriverEntry -------------------------------------------------
entry_hex="$(field AddressOfEntryPoint)"
base_hex="$(field ImageBase)"
entry=$((16#${entry_hex:-0}))
base=$((16#${base_hex:-0}))
if [ "$entry" -eq 0 ]; then
    fail "entry point RVA is 0"
else
    # The unstripped image is the same link; its header must agree.
    full_entry_hex="$("$objdump" -p "$unstripped" | awk '$1 == "AddressOfEntryPoint" { print $2; exit }')"
    if [ $((16#${full_entry_hex:-0})) -ne "$entry" ]; then
        fail "entry RVA 0x$entry_hex differs from the unstripped image's 0x$full_entry_hex"
    fi
    sym_hex="$("$nm" "$unstripped" | awk -v s="$entry_symbol" '$3 == s && ($2 == "T" || $2 == "t") { print $1; exit }')"
    if [ -z "$sym_hex" ]; then
        fail "symbol $entry_symbol not found in $unstripped"
    elif [ $((16#$sym_hex - base)) -ne "$entry" ]; then
        fail "entry RVA 0x$entry_hex is not $entry_symbol (RVA $(printf '0x%x' $((16#$sym_hex - base))))"
    else
        pass "entry RVA 0x$entry_hex is $entry_symbol (symbol table)"
    fi
    map_hex="$(awk -v re="$map_symbol_re" '$1 ~ /^0x[0-9a-fA-F]+$/ && NF == 2 && $2 ~ re { print $1; exit }' "$map")"
    if [ -z "$map_hex" ]; then
        fail "DriverEntry not found in $map"
    elif [ $((map_hex - base)) -ne "$entry" ]; then
        fail "entry RVA 0x$entry_hex differs from the map's DriverEntry $map_hex"
    else
        pass "entry RVA 0x$entry_hex is DriverEntry (map $map_hex)"
    fi
fi

# --- Relocations, TLS, exports ----------------------------------------------------
sections="$("$objdump" -h "$sys" | awk '$1 ~ /^[0-9]+$/ { print $2 }')"
reloc_size="$(dir_size 5)"
fixups="$(awk '/Number of fixups/ { n += $NF } END { print n + 0 }' <<<"$headers")"
if [ "$reloc_size" -gt 0 ] && grep -qx '\.reloc' <<<"$sections" && [ "$fixups" -gt 0 ]; then
    pass "relocations present (.reloc, $fixups fixups)"
else
    fail "relocations missing (directory size $reloc_size, $fixups fixups)"
fi

expect [ "$(dir_size 9)" -eq 0 ] -- "no TLS directory" -- "TLS directory present"
expect [ "$(dir_size 0)" -eq 0 ] -- "no export directory" -- "export directory present"

bad_image_sections="$(grep -E '^\.(ctors|dtors|init_array|fini_array|tls|CRT)([.$].*)?$' <<<"$sections" || true)"
expect [ -z "$bad_image_sections" ] -- "image sections: $(oneline <<<"$sections")" \
    -- "image has sections the kernel never runs: $(oneline <<<"$bad_image_sections")"

# --- Imports ------------------------------------------------------------------------
# "DLL function-count" per imported module.
imports="$(awk '
    /^\tDLL Name: / { dll = $3; if (!(dll in count)) { count[dll] = 0; order[++n] = dll }; next }
    dll != "" && /^\t[0-9a-fA-F]+\t/ { count[dll]++; next }
    /^[ \t]*$/ { dll = "" }
    END { for (i = 1; i <= n; i++) print order[i], count[order[i]] }' <<<"$headers")"
if ! grep -qi '^ntoskrnl\.exe ' <<<"$imports"; then
    fail "no imports from ntoskrnl.exe"
fi
while read -r dll n; do
    [ -z "$dll" ] && continue
    case "${dll,,}" in
        ntoskrnl.exe|hal.dll|usbd.sys)
            if [ "$n" -gt 0 ]; then
                pass "imports $n functions from $dll"
            else
                fail "import descriptor for $dll without functions"
            fi
            ;;
        *) fail "imports from $dll (only ntoskrnl.exe, HAL.dll and USBD.SYS are allowed)" ;;
    esac
done <<<"$imports"

# --- PE checksum --------------------------------------------------------------------
# The loader verifies it for drivers; recompute it over the file, skipping the
# stored field (at e_lfanew + 24 + 64 in PE32 and PE32+ alike).
stored_hex="$(field CheckSum)"
lfanew="$(od -An -tu4 -j60 -N4 "$sys" | tr -d ' ')"
size="$(stat -c %s "$sys")"
computed="$(od -An -v -tu2 "$sys" | awk -v skip=$(((lfanew + 88) / 2)) -v size="$size" '
    { for (i = 1; i <= NF; i++) {
          if (w != skip && w != skip + 1) { s += $i; s = (s % 65536) + int(s / 65536) }
          w++ } }
    END { s = (s % 65536) + int(s / 65536); printf "%d", s + size }')"
if [ -n "$stored_hex" ] && [ $((16#$stored_hex)) -ne 0 ] && [ $((16#$stored_hex)) -eq "$computed" ]; then
    pass "PE checksum 0x$stored_hex is correct"
else
    fail "PE checksum '0x$stored_hex', computed $(printf '0x%08x' "$computed")"
fi

# --- Objects: nothing that needs a C++ runtime to run it ------------------------------
# mingw's linker folds .ctors/.dtors into .text, so only the objects show them.
bad_objects=0
for o in "${objects[@]}"; do
    names="$("$objdump" -h "$o" | awk '$1 ~ /^[0-9]+$/ { print $2 }')" || { fail "$objdump -h $o"; continue; }
    bad="$(grep -E '^\.(ctors|dtors|init_array|fini_array|tls|CRT)([.$].*)?$' <<<"$names" || true)"
    if [ -n "$bad" ]; then
        fail "$(basename "$o"): $(oneline <<<"$bad") (global constructors/destructors or TLS)"
        bad_objects=$((bad_objects + 1))
    fi
done
[ "$bad_objects" -eq 0 ] && pass "${#objects[@]} objects: no .ctors/.dtors/.init_array/.tls/.CRT sections"
[ "${#objects[@]}" -gt 0 ] || fail "no objects given"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed for $sys"
    exit 1
fi
echo "all checks passed for $sys"
