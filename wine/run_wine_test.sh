#!/usr/bin/env bash
# The Wine test: the driver package (qvusbbus.sys installed with its INF on
# each USB device of the test bus, qvsimdm.sys with its INF on the child
# qvusbbus.sys enumerates), in a Wine prefix, driven by comsim's built-in
# session and by the conformance program, all in one Wine session
# (qvsimrun).
#
#   run_wine_test.sh --wine WINE64 --wineserver WINESERVER --programs DIR
#                    --package DIR --prefix-cache DIR
#                    [--source-inf INF]... [--keep]
#   run_wine_test.sh --skip REASON        (exit 77: reported as skipped)
#
# The package directory holds qvusbbus.inf/.sys and qvsimdm.inf/.sys; each
# --source-inf names an INF it must hold unchanged. The prefix is made once
# per build tree (--prefix-cache) and copied for each run. Fails on a FAIL
# line, a non-zero exit, or fewer than 40 checks. QV_WINEDEBUG in the
# environment becomes WINEDEBUG (for example +plugplay,+debugstr). Exit
# status: 0 pass, 1 fail, 2 usage, 77 skipped.
set -uo pipefail

wine="" wineserver="" programs="" package="" cache="" keep=0
source_infs=()
while [ $# -gt 0 ]; do
    case "$1" in
        --skip) echo "SKIPPED: ${2:-wine or the x64 cross-compiler is missing}"; exit 77 ;;
        --wine) wine="$2"; shift 2 ;;
        --wineserver) wineserver="$2"; shift 2 ;;
        --programs) programs="$2"; shift 2 ;;
        --package) package="$2"; shift 2 ;;
        --source-inf) source_infs+=("$2"); shift 2 ;;
        --prefix-cache) cache="$2"; shift 2 ;;
        --keep) keep=1; shift ;;
        *) sed -n '2,20p' "$0" >&2; exit 2 ;;
    esac
done
for v in "$wine" "$wineserver" "$programs" "$package" "$cache"; do
    [ -n "$v" ] || { sed -n '2,20p' "$0" >&2; exit 2; }
done

# The INFs installed are the project's own, byte for byte.
for source_inf in "${source_infs[@]}"; do
    packaged="$package/$(basename "$source_inf")"
    if ! cmp -s "$packaged" "$source_inf"; then
        echo "FAIL: $packaged is not $source_inf"
        exit 1
    fi
done

export WINEARCH=win64 WINEDEBUG="${QV_WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml=" WINELOADER="$wine"
unset DISPLAY

# Z:\ is the host's root in every prefix.
winpath() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

if [ ! -f "$cache/.complete" ]; then
    echo "Making the Wine prefix $cache (once per build tree)"
    rm -rf "$cache"
    mkdir -p "$(dirname "$cache")"
    WINEPREFIX="$cache" "$wine" wineboot -i >/dev/null 2>&1
    WINEPREFIX="$cache" "$wineserver" -w
    [ -f "$cache/system.reg" ] || { echo "FAIL: wineboot made no prefix"; exit 1; }
    touch "$cache/.complete"
fi

run=$(mktemp -d "${TMPDIR:-/tmp}/qvwine.XXXXXX")
cleanup() {
    WINEPREFIX="$run/prefix" "$wineserver" -k >/dev/null 2>&1
    if [ "$keep" = 1 ]; then echo "prefix kept in $run/prefix"; else rm -rf "$run"; fi
}
trap cleanup EXIT
cp -a "$cache" "$run/prefix"
export WINEPREFIX="$run/prefix"

log="$run/session.log"
timeout 100 "$wine" "$(winpath "$programs/qvsimrun.exe")" \
    --package "$(winpath "$package")" \
    --bus "$(winpath "$programs/qvsimbus.sys")" --host "$(winpath "$programs/qvsimhost.exe")" \
    --port COM45 --port COM46 \
    --run "$(winpath "$programs/comsim.exe")" --ports COM45,COM46 \
    --run "$(winpath "$programs/qvconform.exe")" --port COM45 \
    >"$log" 2>&1
status=$?
grep -a -v -e 'nodrv_CreateWindow' -e '^$' "$log"

verdict=0
if [ "$status" -ne 0 ]; then
    echo "FAIL: qvsimrun exited with $status"
    verdict=1
fi
if grep -a -q '^FAIL' "$log"; then
    verdict=1
fi
summary=$(grep -a -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -1)
passed=${summary%% passed*}
if [ -z "$summary" ] || [ "${passed:-0}" -lt 40 ]; then
    echo "FAIL: the conformance program did not report 40 checks or more (${summary:-no summary})"
    verdict=1
fi
exit "$verdict"
