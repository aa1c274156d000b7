# shellcheck shell=bash
# Private Wine prefixes for the test runs, sourced by the runners. One template prefix is made
# once with wineboot and kept under the build tree; each run works on copies of it, so a test
# never changes the template and ~/.wine is never touched.
#
# Every Wine call goes through wine_run: the prefix is explicit, Wine's debug output is off, no
# display is offered (so no dialog can wait for a click), Mono, Gecko and the desktop menu
# builder are switched off (no download prompt, nothing written outside the prefix), and a
# time-out ends a hung call.

: "${ZELK_WINE_ROOT:?set ZELK_WINE_ROOT to the folder that holds the prefixes}"
ZELK_WINE_TEMPLATE="$ZELK_WINE_ROOT/template"
ZELK_WINE_PREFIXES=()
# No Mono or Gecko download prompt, no desktop menu entries.
ZELK_WINE_DLL_OVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# wine_run PREFIX SECONDS COMMAND...: runs COMMAND (wine, wineboot, ...) against PREFIX.
# Extra variables for the Windows process can be put in front with env, e.g. LC_ALL. Without a
# prefix it refuses: Wine would fall back to ~/.wine.
wine_run() {
    local prefix=$1 seconds=$2
    if [[ -z $prefix ]]; then
        echo "wine_run: no Wine prefix given" >&2
        return 2
    fi
    shift 2
    env -u DISPLAY -u WAYLAND_DISPLAY \
        WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="$ZELK_WINE_DLL_OVERRIDES" \
        timeout --kill-after=10 "$seconds" "$@"
}

# Ends the prefix's wineserver and with it every Wine process still running there.
wine_stop() {
    local prefix=$1
    [[ -d "$prefix" ]] || return 0
    WINEPREFIX="$prefix" timeout 30 wineserver -k 2>/dev/null || true
}

# Stops every run prefix's wineserver and, unless ZELK_WINE_KEEP=1 asks to keep them for a
# look, deletes the copies.
wine_cleanup() {
    local prefix
    for prefix in "${ZELK_WINE_PREFIXES[@]}"; do
        wine_stop "$prefix"
        [[ ${ZELK_WINE_KEEP:-0} == 1 ]] || rm -rf "$prefix"
    done
}

# Makes the template once (about 7 s and 700 MB). Built aside and renamed when complete, under
# a lock, so an interrupted or concurrent run never leaves a half-made template behind.
wine_ensure_template() {
    [[ -f "$ZELK_WINE_TEMPLATE/.complete" ]] && return 0
    mkdir -p "$ZELK_WINE_ROOT"
    (
        flock 9
        [[ -f "$ZELK_WINE_TEMPLATE/.complete" ]] && exit 0
        local draft="$ZELK_WINE_ROOT/template.draft"
        rm -rf "$draft" "$ZELK_WINE_TEMPLATE"
        echo "wine: creating the template prefix $ZELK_WINE_TEMPLATE"
        # wineboot -i cannot be made fully quiet; its chatter goes to a log.
        if ! wine_run "$draft" 300 wineboot -i >"$ZELK_WINE_ROOT/wineboot.log" 2>&1; then
            echo "wine: wineboot failed, see $ZELK_WINE_ROOT/wineboot.log" >&2
            wine_stop "$draft"
            exit 1
        fi
        # A crashing test program ends with a backtrace on stderr, not a dialog.
        wine_run "$draft" 60 wine reg add 'HKCU\Software\Wine\WineDbg' \
            /v ShowCrashDialog /t REG_DWORD /d 0 /f >>"$ZELK_WINE_ROOT/wineboot.log" 2>&1
        # The wineserver writes the registry to disk when it exits.
        WINEPREFIX="$draft" timeout 60 wineserver -w || wine_stop "$draft"
        touch "$draft/.complete"
        mv "$draft" "$ZELK_WINE_TEMPLATE"
    ) 9>"$ZELK_WINE_ROOT/template.lock"
}

# The path of the run prefix NAME.
wine_prefix() {
    echo "$ZELK_WINE_ROOT/run/$1"
}

# wine_copy_prefix NAME: makes run prefix NAME a fresh copy of the template (about 2 s),
# which wine_cleanup removes.
wine_copy_prefix() {
    local prefix
    prefix=$(wine_prefix "$1")
    wine_stop "$prefix"
    rm -rf "$prefix"
    mkdir -p "$ZELK_WINE_ROOT/run"
    cp -a "$ZELK_WINE_TEMPLATE" "$prefix"
    ZELK_WINE_PREFIXES+=("$prefix")
}

# Stops run prefix NAME and deletes it (each copy is 700 MB) unless ZELK_WINE_KEEP=1.
wine_remove_prefix() {
    local prefix
    prefix=$(wine_prefix "$1")
    wine_stop "$prefix"
    [[ ${ZELK_WINE_KEEP:-0} == 1 ]] || rm -rf "$prefix"
}
