#!/usr/bin/env bash
# The layer of the package authors' wrappers, on what `make dist` built: try-package.sh on a
# copy of the smaller sample package whose driver action has another name (installed, repaired
# and removed under --norestart) must exit 0 and report that its actions ran with Return value
# 1 and what they changed; an upgrade must install the older package first and say that it was
# removed; on a package whose installation fails it must exit 1 and show msiexec's full exit
# code; on a package whose driver action records a failure while msiexec reports success, or
# whose kernel service outlives its removal, or on an upgrade whose root devices lose their
# services a moment after msiexec returned, it must exit 1 with a fault line (and 0 when the
# version it upgrades is of that kind and the new one is built with the include as it is); it must refuse to
# make a prefix over an existing folder and leave none behind; check-package.sh must return the
# checker's exit code (0 on the smaller package, 2 on a missing file, 2 and "the checker
# crashed" when the checker ends with 1 and no finding); --help of the three authors' scripts
# must print their usage without starting Wine; and none may create ~/.wine (all run with a
# throwaway HOME); test-sign.sh must sign an author's own INF, image and catalog, and refuse an
# INF that names another image. A run prefix (wine-env.sh, which check-package.sh ships with) shares only
# Wine's system images with its template, never a file a runner lays a stand-in over, and a
# run that writes through to a shared image fails and marks the template for making anew,
# whatever size and time the write left; the try of a package that installs a file over one of
# Wine's images, with an old time, leaves the template's image as it was. The outputs stay in
# build/try/.
#
# usage: try-tests.sh [--report FILE]   (FILE: a GoogleTest-style XML report)
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=test-report.sh
source "$repo/scripts/test-report.sh"
report=
if [[ ${1:-} == --report ]]; then
    report=${2:?--report needs a file}
fi

readonly PACKAGE=$repo/build/mingw/package/zelk_minimal.msi
readonly WORK=$repo/build/try
rm -rf "$WORK"
mkdir -p "$WORK/home"
export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
export HOME=$WORK/home
# The sample packages install nothing over Wine's images: their prefixes share them, as the
# test runs' do (a write through to one still fails the run).
export ZELK_TRY_SHARED=1

results=()  # "name|ok|detail" per check, written by check
failed=0

yes_if() {
    "$@" && echo yes || echo no
}

# section NAME: the lines of the output's section "== NAME: ..." up to the next section.
section() {
    awk -v name="== $1:" 'index($0, name) == 1 { on = 1; print; next } /^== / { on = 0 } on' \
        "$WORK/try.txt"
}

# The actions are found by their entry, not by the sample's names: the driver action of this
# copy has a name of the author's own.
renamed=$WORK/renamed_minimal.msi
cp "$PACKAGE" "$renamed"
msibuild "$renamed" -q "DELETE FROM CustomAction WHERE Action = 'ZelkInstallDriver1'" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('AuthorUsbDriver', 3073, 'ZelkCa', 'CA_InstallDriver')" \
    -q "UPDATE CustomAction SET Source = 'AuthorUsbDriver' WHERE Action = 'SetZelkInstallDriver1'" \
    -q "DELETE FROM InstallExecuteSequence WHERE Action = 'ZelkInstallDriver1'" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('AuthorUsbDriver', 'NOT Installed', 4041)"

echo "try: try-package.sh on ${renamed##*/}"
try_status=0
"$repo/scripts/try-package.sh" "$renamed" --repair --norestart >"$WORK/try.txt" 2>&1 ||
    try_status=$?
cat "$WORK/try.txt"
check TryExitsZero "$(yes_if test "$try_status" -eq 0)" "try-package.sh exited with $try_status"
install=$(section install)
# Every action the installation runs (none of the rollback ones) with Return value 1.
ran=$(grep -cE '^  \S+ +CA_\S+ +(deferred|immediate) +1$' <<<"$install")
not_run=$(grep -cE '^  \S+ +CA_\S+ +(deferred|immediate) +[^1 ]' <<<"$install")
check TryInstallActionsSucceeded "$(yes_if test "$ran" -ge 4 -a "$not_run" -eq 0)" \
    "the install section shows $ran actions with Return value 1 and $not_run with another"
check TryActionFoundByEntry \
    "$(yes_if grep -qE '^  AuthorUsbDriver +CA_InstallDriver +deferred +1$' <<<"$install")" \
    "the install section does not show AuthorUsbDriver with Return value 1"
check TryCertificateRecorded \
    "$(yes_if grep -q 'certificate utility: "[A-Za-z]:\\[^"]*\\certutil.exe" -f -addstore "TrustedPublisher" ' \
        <<<"$install")" "the install section shows no certutil command line"
check TryChangesShown "$(yes_if grep -qE 'seen during the run .*: Driver1=0$' <<<"$install" &&
    grep -q '^    + inf zelk_usb.inf: staged' <<<"$install")" \
    "the install section shows no state value Driver1=0 or no staged zelk_usb.inf"
check TryNoRestartSetsReboot "$(yes_if grep -q '^  REBOOT = ReallySuppress$' <<<"$install")" \
    "--norestart did not give REBOOT=ReallySuppress"
later=$( (section repair; section uninstall) | grep -c '^  exit code 0:')
check TryRepairAndUninstallReported "$(yes_if test "$later" -eq 2)" \
    "the repair and uninstall sections do not both show exit code 0"

# An upgrade: the older version's own section, then the newer one's.
packages=$repo/build/mingw/package
try_status=0
"$repo/scripts/try-package.sh" "$packages/zelk_drivers_v2.msi" \
    --upgrade-from "$packages/zelk_drivers.msi" >"$WORK/try-upgrade.txt" 2>&1 || try_status=$?
check TryUpgradeRunsOlderFirst "$(yes_if test "$try_status" -eq 0 -a \
    "$(grep -c '^== install-old: "[^"]*\\msiexec\.exe" /i .*zelk_drivers\.msi' "$WORK/try-upgrade.txt")" -eq 1)" \
    "try-package.sh --upgrade-from exited with $try_status or showed no run of the older package"
check TryUpgradeNamesOlderVersion \
    "$(yes_if grep -qE '^  the older version 1\.0\.0 \(\{[0-9A-F-]+\}\) was removed$' \
        "$WORK/try-upgrade.txt")" "the upgrade's section does not say that version 1.0.0 was removed"

# The upgrade as the include had it before: the older version removed first (its removal
# taking the root devices away while their drivers still ran), then the new one installed.
# msiexec reports success, and the devices' services are gone a moment later.
early_removal() {
    cp "$1" "$2"
    msibuild "$2" \
        -q "UPDATE InstallExecuteSequence SET Sequence = 1501 WHERE Action = 'RemoveExistingProducts'" \
        -q "DELETE FROM InstallExecuteSequence WHERE Action = 'ZelkStopVirtualService'" \
        -q "DELETE FROM InstallExecuteSequence WHERE Action = 'ZelkStopLanService'"
}
early_v1=$WORK/early_removal_v1.msi early_v2=$WORK/early_removal_v2.msi
early_removal "$packages/zelk_drivers.msi" "$early_v1"
early_removal "$packages/zelk_drivers_v2.msi" "$early_v2"
try_status=0
"$repo/scripts/try-package.sh" "$early_v2" --upgrade-from "$early_v1" \
    >"$WORK/try-early-removal.txt" 2>&1 || try_status=$?
check TryEarlyRemovalIsOne "$(yes_if test "$try_status" -eq 1 -a \
    "$(grep -cE '^fault: install: after [0-9]+ s: the root device ROOT\\ZELK_(VIRTUAL|LAN) is there, but the service ZELK_(VIRTUAL|LAN) (is not running: none|is marked for deletion)$' \
        "$WORK/try-early-removal.txt")" -eq 2)" \
    "try-package.sh on the upgrade that loses the devices' services exited with $try_status or showed no fault line for each"
# The same older version upgraded by a version built with the include as it is: the new
# version installs first, so the older one's removal leaves the shared devices and services.
try_status=0
"$repo/scripts/try-package.sh" "$packages/zelk_drivers_v2.msi" --upgrade-from "$early_v1" \
    >"$WORK/try-from-early.txt" 2>&1 || try_status=$?
check TryUpgradeFromEarlierIncludeKeepsDevices "$(yes_if test "$try_status" -eq 0)" \
    "try-package.sh on the upgrade from a version of the earlier include exited with $try_status: $(grep -m1 '^fault:' "$WORK/try-from-early.txt")"

# Faults that msiexec does not report. The driver file beside the INF left out: the driver
# action records -1 with its text and stages nothing, and the installation still succeeds.
no_driver=$WORK/no_driver_file.msi
cp "$PACKAGE" "$no_driver"
msibuild "$no_driver" -q "DELETE FROM File WHERE File = 'zelk_usb.sys'"
try_status=0
"$repo/scripts/try-package.sh" "$no_driver" --norestart >"$WORK/try-no-driver.txt" 2>&1 ||
    try_status=$?
check TryDriverFailureIsOne "$(yes_if test "$try_status" -eq 1)" \
    "try-package.sh on a package whose driver action records -1 exited with $try_status"
check TryDriverFailureFaultLine \
    "$(yes_if grep -qE '^fault: install: a driver action recorded Driver1 = -1: .*zelk_usb\.sys' \
        "$WORK/try-no-driver.txt")" "no fault line shows Driver1 = -1 with its text"
check TryUnstagedFaultLine \
    "$(yes_if grep -qE '^fault: install: the driver package .*zelk_usb\.inf is not staged' \
        "$WORK/try-no-driver.txt")" "no fault line says that zelk_usb.inf is not staged"
# The kernel service's removal left out (the action and the component's ServiceControl row):
# the service outlives the removal.
service_left=$WORK/service_left.msi
cp "$packages/zelk_drivers.msi" "$service_left"
msibuild "$service_left" \
    -q "DELETE FROM InstallExecuteSequence WHERE Action = 'ZelkUninstallKernelService'" \
    -q "DELETE FROM ServiceControl WHERE ServiceControl = 'ZelkBusServiceRemoval'"
try_status=0
"$repo/scripts/try-package.sh" "$service_left" >"$WORK/try-service-left.txt" 2>&1 ||
    try_status=$?
check TryServiceLeftIsOne "$(yes_if test "$try_status" -eq 1 -a \
    "$(grep -c '^fault: uninstall: the kernel service zelk_bus remains: state=' \
        "$WORK/try-service-left.txt")" -eq 1)" \
    "try-package.sh on a leftover service exited with $try_status or showed no fault line"

# A package that fails and rolls back: the full code, which a shell would read as 67.
failing=$repo/build/mingw/package/zelk_drivers_bad_driver.msi
try_status=0
"$repo/scripts/try-package.sh" "$failing" >"$WORK/try-failing.txt" 2>&1 || try_status=$?
check TryFailedRunIsOne "$(yes_if test "$try_status" -eq 1)" \
    "try-package.sh on ${failing##*/} exited with $try_status"
check TryFullExitCode "$(yes_if grep -q '^  exit code 1603:' "$WORK/try-failing.txt")" \
    "the failed installation's exit code 1603 is not shown"
mkdir -p "$WORK/existing"
"$repo/scripts/try-package.sh" "$PACKAGE" --keep "$WORK/existing" >"$WORK/keep.txt" 2>&1
try_status=$?
check TryKeepRefusesExistingFolder \
    "$(yes_if test "$try_status" -eq 2 -a ! -e "$WORK/existing/drive_c")" \
    "try-package.sh --keep over an existing folder exited with $try_status"

# test-sign.sh on an author's own names: the image and the catalog the INF names, signed, the
# image found in the catalog; an INF that still names the sample's image is refused.
own=$WORK/own-driver
mkdir -p "$own"
sed 's/zelk_usb/acme_usb/g' "$repo/package/drivers/zelk_usb.inf" >"$own/acme_usb.inf"
cp "$repo/dist/sample/drivers/zelk_usb.sys" "$own/acme_usb.sys"
sign_status=0
"$repo/scripts/test-sign.sh" --out "$WORK/own-signed" --ca "$WORK/own-ca" "$own/acme_usb.inf" \
    >"$WORK/test-sign.txt" 2>&1 || sign_status=$?
signed=$WORK/own-signed
check TestSignOwnNames "$(yes_if test "$sign_status" -eq 0 && osslsigncode verify \
    -CAfile "$WORK/own-ca/root.pem" -catalog "$signed/drivers/acme_usb.cat" \
    -in "$signed/drivers/acme_usb.sys" >/dev/null 2>&1 && test -s "$signed/certificate/publisher.cer")" \
    "test-sign.sh exited with $sign_status or acme_usb.sys is not signed and in acme_usb.cat"
cp "$repo/package/drivers/zelk_usb.inf" "$own/acme_can.inf"
cp "$own/acme_usb.sys" "$own/acme_can.sys"
sign_status=0
"$repo/scripts/test-sign.sh" --out "$WORK/own-signed" --ca "$WORK/own-ca" "$own/acme_can.inf" \
    >"$WORK/test-sign-foreign.txt" 2>&1 || sign_status=$?
check TestSignRefusesForeignImage "$(yes_if test "$sign_status" -eq 1 &&
    grep -q 'acme_can.inf names no acme_can.sys' "$WORK/test-sign-foreign.txt")" \
    "test-sign.sh on an INF naming another image exited with $sign_status"

check_status=0
"$repo/scripts/check-package.sh" "$PACKAGE" >"$WORK/check.txt" 2>&1 || check_status=$?
check CheckPasses "$(yes_if test "$check_status" -eq 0)" \
    "check-package.sh exited with $check_status: $(tail -1 "$WORK/check.txt")"
"$repo/scripts/check-package.sh" "$WORK/missing.msi" >"$WORK/missing.txt" 2>&1
check_status=$?
check CheckMissingFileIsTwo "$(yes_if test "$check_status" -eq 2)" \
    "check-package.sh on a missing file exited with $check_status"
# --help prints the usage and starts no Wine: a "wine" first on the PATH would say so.
mkdir -p "$WORK/fake-bin"
for program in wine wine64 wineserver wineboot; do
    printf '#!/bin/sh\ntouch "%s/wine-started"\nexit 1\n' "$WORK" >"$WORK/fake-bin/$program"
    chmod +x "$WORK/fake-bin/$program"
done
for script in build-package check-package try-package test-sign; do
    help_status=0
    PATH="$WORK/fake-bin:$PATH" "$repo/scripts/$script.sh" --help >"$WORK/help-$script.txt" 2>&1 ||
        help_status=$?
    check "HelpWithoutWine_$script" "$(yes_if test "$help_status" -eq 0 -a ! -e "$WORK/wine-started" \
        -a "$(grep -c "^usage: $script.sh" "$WORK/help-$script.txt")" -ge 1)" \
        "$script.sh --help exited with $help_status, started Wine or printed no usage line"
done

# A checker that ends with 1 and no finding has crashed: 2 and a sentence, never "errors found".
crashing=$ZELK_WINE_ROOT/template/drive_c/windows/system32/reg.exe
ZELK_CHECKER=$crashing "$repo/scripts/check-package.sh" "$PACKAGE" >"$WORK/crash.txt" 2>&1
check_status=$?
said=$(grep -c 'the checker crashed' "$WORK/crash.txt")
check CheckCrashIsTwo "$(yes_if test "$check_status" -eq 2 -a "$said" -eq 1)" \
    "check-package.sh on a checker that ends with 1 and no finding exited with $check_status"
# A run prefix over a template of a few files, no Wine started: what it shares, what it copies,
# what a private one shares (nothing), and a write through a shared image that keeps the file's
# size and time.
shares_only_images() (
    export ZELK_WINE_ROOT=$WORK/sharing
    # shellcheck source=wine-env.sh
    source "$repo/scripts/wine-env.sh"
    local system=$ZELK_WINE_TEMPLATE/drive_c/windows/system32 run
    mkdir -p "$system"
    for file in "$system"/{kernel32.dll,newdev.dll,certutil.exe,c_1252.nls} \
        "$ZELK_WINE_TEMPLATE/system.reg"; do
        echo image >"$file"
    done
    wine_image_sums "$ZELK_WINE_TEMPLATE" >"$ZELK_WINE_TEMPLATE/$WINE_IMAGE_SUMS"
    wine --version >"$ZELK_WINE_TEMPLATE/.complete" 2>/dev/null
    wine_copy_prefix sharing
    wine_copy_prefix --private private
    run=$(wine_prefix sharing)/drive_c/windows/system32
    links() { stat -c %h "$1"; }
    [[ $(links "$run/kernel32.dll") == 2 && $(links "$run/newdev.dll") == 1 &&
        $(links "$run/certutil.exe") == 1 && $(links "$run/c_1252.nls") == 1 &&
        $(links "$(wine_prefix sharing)/system.reg") == 1 &&
        $(links "$(wine_prefix private)/drive_c/windows/system32/kernel32.dll") == 1 ]] || return 1
    wine_template_current && wine_template_intact || return 1
    echo IMAGE >"$run/kernel32.dll"
    touch -r "$system/c_1252.nls" "$run/kernel32.dll"
    ! wine_template_intact 2>/dev/null && ! wine_template_current
)
check PrefixSharesOnlyImages "$(yes_if shares_only_images)" \
    "a run prefix shared a file other than Wine's system images, or a write through one went unseen"

# A package of unknown content that installs a file over one of Wine's images in the system
# folder, with its cabinet's time of long ago: the try's prefix shares nothing with the
# template, whose image stays as it was. The component is permanent and the prefix kept, so
# that the installed file can be seen.
keeps_template_images() (
    # shellcheck source=wine-env.sh
    source "$repo/scripts/wine-env.sh"
    wine_ensure_template >/dev/null || return 1
    local source=$WORK/system-file image=$ZELK_WINE_TEMPLATE/drive_c/windows/system32/hostname.exe
    local before kept
    mkdir -p "$source"
    echo "the package's own hostname.exe" >"$source/hostname.exe"
    touch -d '2001-02-03 04:05:06 UTC' "$source/hostname.exe"
    cat >"$source/system_file.wxs" <<'WXS'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="System file" Language="1033" Version="1.0.0" Manufacturer="Author"
           UpgradeCode="3B9E1C52-7D4A-4F08-9A61-C2E5B7D3F190">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="system.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="System64Folder">
        <Component Id="Image" Guid="6F2D8A13-4B7C-4E95-8C02-D1A9E4B6F357" Win64="yes">
          <File Id="hostname.exe" Source="hostname.exe" KeyPath="yes"/>
        </Component>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Image"/></Feature>
  </Product>
</Wix>
WXS
    (cd "$source" && wixl -a x64 -o "$WORK/system_file.msi" system_file.wxs) || return 1
    # Permanent (16) beside 64-bit (256): wixl does not take the attribute.
    msibuild "$WORK/system_file.msi" \
        -q "UPDATE Component SET Attributes = 272 WHERE Component = 'Image'" || return 1
    before=$(cksum <"$image")
    env -u ZELK_TRY_SHARED ZELK_WINE_KEEP=1 "$repo/scripts/try-package.sh" \
        "$WORK/system_file.msi" >"$WORK/try-system-file.txt" 2>&1
    kept=$(find "$ZELK_WINE_ROOT/run" -maxdepth 1 -name 'try-*' -print -quit)
    [[ -n $kept ]] || return 1
    local installed=$kept/drive_c/windows/system32/hostname.exe
    cmp -s "$installed" "$source/hostname.exe" &&
        [[ $(stat -c %Y "$installed") == $(stat -c %Y "$source/hostname.exe") ]]
    local status=$?
    rm -rf "$kept"
    ((status == 0)) && [[ $(cksum <"$image") == "$before" ]]
)
check TryKeepsTemplateImages "$(yes_if keeps_template_images)" \
    "a try installing hostname.exe into the system folder changed the template's or installed none"

leftover=$(find "$ZELK_WINE_ROOT/run" -maxdepth 1 \( -name 'try-*' -o -name 'check-*' \) 2>/dev/null)
check PrivatePrefixesRemoved "$(yes_if test -z "$leftover")" "prefixes stayed: $leftover"
check NoHomeWinePrefix "$(yes_if test ! -e "$HOME/.wine")" "$HOME/.wine was created"

[[ -z $report ]] || write_test_report "$report" TryPackage "${results[@]}"
echo "try: $((${#results[@]} - failed)) passed, $failed failed"
((failed == 0))
