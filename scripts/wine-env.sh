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
# look, deletes the copies. As the EXIT trap, it turns a changed template into a failed run.
wine_cleanup() {
    local status=$? prefix
    for prefix in "${ZELK_WINE_PREFIXES[@]}"; do
        wine_stop "$prefix"
        [[ ${ZELK_WINE_KEEP:-0} == 1 ]] || rm -rf "$prefix"
    done
    if ((${#ZELK_WINE_PREFIXES[@]})) && ! wine_template_intact && ((status == 0)); then
        exit 2
    fi
}

# The template is complete, made by the Wine installed now and holds its images' checksums;
# another Wine would update every run prefix's images in place, through the links to the
# template.
wine_template_current() {
    [[ -f "$ZELK_WINE_TEMPLATE/.complete" && -f "$ZELK_WINE_TEMPLATE/$WINE_IMAGE_SUMS" &&
        $(<"$ZELK_WINE_TEMPLATE/.complete") == "$(wine --version 2>/dev/null)" ]]
}

# Makes the template once (about 7 s and 700 MB). Built aside and renamed when complete, under
# a lock, so an interrupted or concurrent run never leaves a half-made template behind.
wine_ensure_template() {
    wine_template_current && return 0
    mkdir -p "$ZELK_WINE_ROOT"
    (
        flock 9
        wine_template_current && exit 0
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
        wine_image_sums "$draft" >"$draft/$WINE_IMAGE_SUMS"
        wine --version >"$draft/.complete" 2>/dev/null
        mv "$draft" "$ZELK_WINE_TEMPLATE"
    ) 9>"$ZELK_WINE_ROOT/template.lock"
}

# The path of the run prefix NAME.
wine_prefix() {
    echo "$ZELK_WINE_ROOT/run/$1"
}

# Wine's own program images in the system folder, most of a prefix's 700 MB: a run prefix shares
# them with the template as hard links and copies every other file, so that making one costs
# a few milliseconds of the disk instead of a second. Wine replaces its registry files by
# renaming new ones into place, but a program that writes a file over a shared image writes
# through to the template: the runners lay their stand-ins over newdev.dll and certutil.exe,
# so those are copied too, a run of a package of unknown content shares nothing (--private),
# and wine_template_intact catches any other write by the images' content.
readonly WINE_SHARED_IMAGES='\./drive_c/windows/system32/[^/]+\.(dll|exe|drv|sys|ocx|acm|cpl|ax)'
readonly WINE_STANDIN_TARGETS='.*/(newdev\.dll|certutil\.exe)'
# The shared images' checksums, taken when the template is made.
readonly WINE_IMAGE_SUMS=.image-sums

# wine_image_sums PREFIX: the CRC and size of every shared image of PREFIX, by path. Content,
# not times: an installer sets a file's time from its cabinet, a copy from its source.
wine_image_sums() {
    (
        cd "$1" &&
            find . -regextype posix-extended -type f -regex "$WINE_SHARED_IMAGES" \
                ! -regex "$WINE_STANDIN_TARGETS" -print0 | LC_ALL=C sort -z | xargs -0 cksum
    )
}

# wine_copy_prefix [--private] NAME: makes run prefix NAME a fresh copy of the template, which
# wine_cleanup removes. --private copies every file, sharing nothing with the template: for a
# package of unknown content, which may install a file of the same name as one of Wine's images
# (a runtime DLL), so that neither it nor a run beside it sees the other's.
wine_copy_prefix() {
    local private=0 prefix
    if [[ $1 == --private ]]; then
        private=1
        shift
    fi
    prefix=$(wine_prefix "$1")
    wine_stop "$prefix"
    rm -rf "$prefix"
    mkdir -p "$ZELK_WINE_ROOT/run"
    ZELK_WINE_PREFIXES+=("$prefix")
    if ((private)); then
        cp -a --reflink=auto "$ZELK_WINE_TEMPLATE" "$prefix"
        return
    fi
    cp -al "$ZELK_WINE_TEMPLATE" "$prefix"
    (
        cd "$ZELK_WINE_TEMPLATE" &&
            find . -regextype posix-extended -type f \( ! -regex "$WINE_SHARED_IMAGES" \
                -o -regex "$WINE_STANDIN_TARGETS" \) -print0 |
            xargs -0 cp -a --remove-destination --parents -t "$prefix"
    )
}

# wine_template_intact: no run has written through to the template's shared images, whatever
# the time the writer gave the file. Otherwise says which file, marks the template for making
# anew and fails, since every run since then saw the changed file.
wine_template_intact() {
    local sums changed
    sums=$(wine_image_sums "$ZELK_WINE_TEMPLATE") &&
        changed=$(diff "$ZELK_WINE_TEMPLATE/$WINE_IMAGE_SUMS" - <<<"$sums" 2>&1) && return 0
    changed=$(sed -n 's/^[<>] [0-9]* [0-9]* //p' <<<"$changed" | head -1)
    echo "wine: a run wrote through to the template prefix (${changed:-its images}); it is made" \
        "anew on the next run" >&2
    rm -f "$ZELK_WINE_TEMPLATE/.complete"
    return 1
}

# Stops run prefix NAME and deletes it unless ZELK_WINE_KEEP=1; fails when the run changed the
# template (wine_template_intact).
wine_remove_prefix() {
    local prefix
    prefix=$(wine_prefix "$1")
    wine_stop "$prefix"
    [[ ${ZELK_WINE_KEEP:-0} == 1 ]] || rm -rf "$prefix"
    wine_template_intact
}
