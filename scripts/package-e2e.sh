#!/usr/bin/env bash
# The sample package end to end: installs zelk_drivers.msi with msiexec in fresh Wine prefixes,
# repairs, upgrades and uninstalls it, lets it fail and roll back, and checks on the machine what
# each custom action and each of the package's own tables did. Prints a report of the effects
# and exits non-zero when an expected effect is missing. Under Wine a custom action
# whose DLL fails to load, or that crashes, can still leave the installation successful, so the
# checks look at the effects and not only at msiexec's exit code.
#
# usage: package-e2e.sh [--build DIR] [--report FILE] [--brief]
#   --build DIR    the mingw build tree (default build/mingw)
#   --report FILE  also write the checks as a GoogleTest-style XML report
#   --brief        print only the checks that failed and the count, not the report
# The logs and the probe's findings are kept in build/e2e; ZELK_WINE_KEEP=1 keeps the prefixes.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build/mingw
report=
brief=false
while (($#)); do
    case $1 in
        --build) build=$2; shift ;;
        --report) report=$2; shift ;;
        --brief) brief=true ;;
        *) echo "package-e2e: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

readonly PACKAGE=$build/package/zelk_drivers.msi
# Version 2 of the same package, and one whose kernel driver image cannot start.
readonly PACKAGE_V2=$build/package/zelk_drivers_v2.msi
readonly PACKAGE_BAD_DRIVER=$build/package/zelk_drivers_bad_driver.msi
readonly PROGRAMS=$build/tests/wine
for file in "$PACKAGE" "$PACKAGE_V2" "$PACKAGE_BAD_DRIVER" "$PROGRAMS/package_probe.exe" \
    "$PROGRAMS/newdev.dll" "$PROGRAMS/record_args.exe"; do
    if [[ ! -f "$file" ]]; then
        echo "package-e2e: $file is missing; build the mingw preset" >&2
        exit 2
    fi
done

export ZELK_WINE_ROOT=${ZELK_WINE_ROOT:-$repo/build/wine}
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
trap wine_cleanup EXIT

readonly RESULTS=$repo/build/e2e
readonly FOLDER='C:\zelk-package'
readonly PRODUCT_KEY='SOFTWARE\Zelk\CAN-LIN Drivers'
readonly STATE_KEY='SOFTWARE\Zelk\CAN-LIN Drivers\InstallState'
readonly OLD_UNINSTALL_KEY='SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\ZURA OEM Driver'
readonly OLD_FOLDER='C:\Program Files\ZURA OEM Driver'
readonly INSTALL_FOLDER='C:\Program Files\Zelk\CAN-LIN Drivers'
readonly UNINSTALL_KEYS='SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
readonly KERNEL_SERVICE=zelk_bus
# Another product's service that happens to carry the kernel driver's name.
readonly EXISTING_BINARY='C:\windows\system32\drivers\other_bus.sys'
readonly EXISTING_BINARY_PATTERN='C:\\windows\\system32\\drivers\\other_bus\.sys'
readonly DEVICES=('ROOT\ZELK_VIRTUAL' 'ROOT\ZELK_LAN')
readonly SERVICES=(ZELK_VIRTUAL ZELK_LAN ZELK_USB "$KERNEL_SERVICE")
# The installer's processes load the stand-ins laid into the system folder instead of Wine's
# own newdev.dll and certutil.exe.
readonly OVERRIDES="$ZELK_WINE_DLL_OVERRIDES;newdev=n;certutil.exe=n"
# Errors of Wine's installer (an action's invalid return code, a DLL that did not load) go to
# msiexec's stderr, which is kept beside the log.
readonly MSI_DEBUG='-all,err+msi'

progress() {
    echo "e2e: $*"
}

# --- the machine -------------------------------------------------------------------------------

prefix=
drive=

# prepare_machine NAME: a fresh prefix with the package, the probe and the stand-ins.
prepare_machine() {
    wine_ensure_template
    wine_copy_prefix "$1"
    prefix=$(wine_prefix "$1")
    drive=$prefix/drive_c
    mkdir -p "$drive/zelk-package"
    cp "$PACKAGE" "$PACKAGE_V2" "$PACKAGE_BAD_DRIVER" "$PROGRAMS/package_probe.exe" \
        "$drive/zelk-package/"
    cp "$PROGRAMS/newdev.dll" "$drive/windows/system32/newdev.dll"
    cp "$PROGRAMS/record_args.exe" "$drive/windows/system32/certutil.exe"
}

# An older OEM package's uninstall entry, whose uninstaller records how it was called, and a
# restart left pending in the install-state key by an earlier driver update.
add_old_package_and_pending_restart() {
    mkdir -p "$drive/Program Files/ZURA OEM Driver"
    cp "$PROGRAMS/record_args.exe" "$drive/Program Files/ZURA OEM Driver/uninst.exe"
    local old=${OLD_FOLDER//\\/\\\\}
    cat >"$drive/zelk-package/seed.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\$OLD_UNINSTALL_KEY]
"UninstallString"="\\"$old\\\\uninst.exe\\" /U \\"$old\\\\install.log\\""

[HKEY_LOCAL_MACHINE\\$STATE_KEY]
"Earlier"=dword:00000003
REG
    wine_run "$prefix" 60 wine reg import "$FOLDER\\seed.reg" >/dev/null 2>&1
}

# A restart left pending in the install-state key alone.
add_pending_restart() {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\%s]\n"Earlier"=dword:00000003\n' "$STATE_KEY" \
        >"$drive/zelk-package/pending.reg"
    wine_run "$prefix" 60 wine reg import "$FOLDER\\pending.reg" >/dev/null 2>&1
}

# sc ARGS...: the system's service utility on the machine, quietly.
sc() {
    wine_run "$prefix" 60 wine sc "$@" >/dev/null 2>&1 || true
}

# Whether the kernel driver's image is in the drivers folder.
kernel_image_present() {
    [[ -e "$drive/windows/system32/drivers/$KERNEL_SERVICE.sys" ]] && echo yes || echo no
}

# probe REQUEST...: what the probe program finds (see tests/wine/package_probe.cpp).
probe() {
    wine_run "$prefix" 60 wine "$FOLDER\\package_probe.exe" "$@" </dev/null | tr -d '\r'
}

# snapshot NAME [KEY...]: the devices, the services and the values of the package's keys (and
# of the further KEYs) into NAME.txt.
snapshot() {
    probe device "${DEVICES[@]}" service "${SERVICES[@]}" values "$PRODUCT_KEY" "$STATE_KEY" \
        "$OLD_UNINSTALL_KEY" "${@:2}" >"$RESULTS/$1.txt"
}

# The ProductCode in the property dump of LOG.
product_code() {
    sed -n 's/^Property(S): ProductCode = //p' "$RESULTS/$1.log" | tail -1
}

# run_msiexec NAME ARGS...: runs msiexec ARGS quietly with a verbose log NAME.log; prints its
# exit code. It starts in the system folder, the installer's folder on Windows, where the
# certificate action finds certutil.exe.
run_msiexec() {
    local name=$1
    shift
    local output attempt exit_code
    for attempt in 1 2; do
        rm -f "$drive/zelk-package/$name.log"
        output=$(cd "$drive/windows/system32" &&
            wine_run "$prefix" 300 env WINEDLLOVERRIDES="$OVERRIDES" WINEDEBUG="$MSI_DEBUG" \
                wine "$FOLDER\\package_probe.exe" run msiexec "$@" /qn \
                /l*v "$FOLDER\\$name.log" /norestart </dev/null 2>"$RESULTS/$name.stderr" |
            tr -d '\r') || true
        exit_code=$(sed -n 's/^exit \([0-9]*\)$/\1/p' <<<"$output")
        # Neither an exit code nor a log: msiexec never started (seen once in many runs, when
        # Wine could not start the program). That is no result of the package: run it again.
        [[ -n $exit_code || -f "$drive/zelk-package/$name.log" ]] && break
        cp "$RESULTS/$name.stderr" "$RESULTS/$name.not-started.stderr"
        echo "e2e: msiexec for $name did not start; running it once more" >&2
    done
    cp "$drive/zelk-package/$name.log" "$RESULTS/" 2>/dev/null || true
    echo "$exit_code"
}

watcher=

# Install-state values live only from the driver actions to the clearing action; a watcher
# started before the installation sees them on the way.
start_watcher() {
    rm -f "$drive/zelk-package/stop-watch"
    # Straight into the file, unfiltered: a pipe would hold the lines back until the end.
    wine_run "$prefix" 300 wine "$FOLDER\\package_probe.exe" watch "$STATE_KEY" \
        "$FOLDER\\stop-watch" </dev/null >"$RESULTS/watch.raw" &
    watcher=$!
    local waited=0
    # It is watching once it has printed the value prepared in the key.
    until grep -q '^value ' "$RESULTS/watch.raw" 2>/dev/null || ((waited >= 300)); do
        sleep 0.1
        waited=$((waited + 1))
    done
}

stop_watcher() {
    touch "$drive/zelk-package/stop-watch"
    wait "$watcher" || true
    tr -d '\r' <"$RESULTS/watch.raw" >"$RESULTS/watch.txt"
}

# --- what the machine shows ----------------------------------------------------------------------

# The "Return value" of ACTION's last run in LOG (1 is success), or "-" if it did not run.
log_result() {
    local value
    value=$(sed -n "s/^Action ended [0-9:]*: $2\\. Return value \\([0-9]*\\)\\.\$/\\1/p" "$1" |
        tail -1)
    echo "${value:--}"
}

# The probe's line about device or service NAME in snapshot FILE.
device_line() {
    grep -F -m1 "device $2 " "$RESULTS/$1.txt" || true
}
service_line() {
    grep -F -m1 "service $2 " "$RESULTS/$1.txt" || true
}

# The data of install-state value NAME as the watcher saw it last, or "".
recorded_state() {
    sed -n "s/^value .*\\\\$1 type=REG_DWORD data=\\(.*\\)\$/\\1/p" "$RESULTS/watch.txt" | tail -1
}

# Whether the property dump that ends LOG holds REBOOT = Force: Wine does not act on it.
reboot_forced() {
    has_line "$RESULTS/$1.log" 'Property(S): REBOOT = Force'
}

# The driver store's copy of INF: the file in C:\windows\inf with the same content, or "".
staged_copy() {
    local copy
    for copy in "$drive/windows/inf/"*.inf; do
        if cmp -s "$copy" "$1"; then
            echo "C:\\windows\\inf\\${copy##*/}"
            return
        fi
    done
}

# The command line that a program stood in for by record_args.exe was given, as UTF-8.
recorded_command() {
    [[ -f "$RESULTS/$1.args" ]] && iconv -f CP1252 -t UTF-8 "$RESULTS/$1.args"
}

# --- checks ------------------------------------------------------------------------------------

check_suites=()
check_names=()
check_failures=()

# expect SUITE NAME FAILURE COMMAND...: a check that passes when COMMAND succeeds.
expect() {
    local suite=$1 name=$2 failure=$3
    shift 3
    check_suites+=("$suite")
    check_names+=("$name")
    if "$@"; then
        check_failures+=("")
    else
        check_failures+=("$failure")
    fi
}

matches() {
    [[ $1 =~ $2 ]]
}

equals() {
    [[ $1 == "$2" ]]
}

has_line() {
    grep -qxF -- "$2" "$1"
}

has_lines() {
    local file=$1 line
    shift
    for line in "$@"; do
        has_line "$file" "$line" || return 1
    done
}

lacks_pattern() {
    ! grep -q -- "$2" "$1"
}

readonly INSTALL_ACTIONS=(ZelkRemoveOldOemPackage ZelkInstallCertificate ZelkInstallVirtualDriver
    ZelkInstallLanDriver ZelkInstallDriver1 ZelkInstallKernelService ZelkCheckReboot
    ZelkClearInstallState)
readonly UNINSTALL_ACTIONS=(ZelkUninstallKernelService ZelkUninstallVirtualDriver
    ZelkUninstallLanDriver)

# check_run SUITE NAME EXIT [PHASE]: msiexec's exit code and the log's overall result; PHASE
# names the run in a suite that holds more than one.
check_run() {
    local suite=$1 name=$2 code=$3 phase=${4:-}
    expect "$suite" "${phase^}ExitCode" \
        "msiexec exited with ${code:-nothing}, not 0 (or 3010); see $name.log" \
        matches "$code" '^(0|3010)$'
    expect "$suite" "${phase^}LogReportsSuccess" \
        "$name.log does not end with INSTALL's Return value 1" \
        grep -q '^Action ended [0-9:]*: INSTALL\. Return value 1\.$' "$RESULTS/$name.log"
}

# check_actions SUITE LOG ACTION...: each action ran and the log reports it successful.
check_actions() {
    local suite=$1 log=$2 action result
    shift 2
    for action in "$@"; do
        result=$(log_result "$RESULTS/$log.log" "$action")
        expect "$suite" "$action" "$log.log shows $action with Return value $result, not 1" \
            equals "$result" 1
    done
}

# check_root_device SUITE NAME SERVICE: a present root device with its kernel driver service.
check_root_device() {
    local suite=$1 name=$2 service=$3 id="ROOT\\$3"
    local device
    device=$(device_line installed "$id")
    local device_pattern="^device .* instance=ROOT\\\\CAN-HARDWARE\\\\[0-9]+"
    device_pattern+=" service=$service present=yes\$"
    expect "$suite" "${name}Device" "no device $id with service $service: '$device'" \
        matches "$device" "$device_pattern"
    local service_found
    service_found=$(service_line installed "$service")
    expect "$suite" "${name}Service" "no kernel driver service $service: '$service_found'" \
        matches "$service_found" "^service $service state=[a-z-]+ type=1 "
    expect "$suite" "${name}State" \
        "install-state value $name is '$(recorded_state "$name")', not 0" \
        equals "$(recorded_state "$name")" 0
}

check_install() {
    local suite=PackageInstall
    check_run $suite install "$install_exit"
    check_actions $suite install "${INSTALL_ACTIONS[@]}"
    expect $suite NoRemovalRan "install.log shows a removal action" \
        lacks_pattern "$RESULTS/install.log" '^Action start [0-9:]*: ZelkUninstall'

    local old_command="\" /U \" /S \"$OLD_FOLDER\\install.log\""
    expect $suite OldPackageUninstallerRan \
        "the old uninstaller ran with '$(recorded_command uninst)', not '$old_command'" \
        equals "$(recorded_command uninst)" "$old_command"
    # Byte for byte: the dash before addstore is 0x96, the en dash of code page 1252.
    printf -- '-f \x96addstore "TrustedPublisher" "%s\\zelk_publisher.cer"' "$INSTALL_FOLDER" \
        >"$RESULTS/certutil.expected"
    expect $suite CertificateUtilityRan \
        "certutil.exe ran with '$(recorded_command certutil)'" \
        cmp -s "$RESULTS/certutil.args" "$RESULTS/certutil.expected"

    check_root_device $suite Virtual ZELK_VIRTUAL
    check_root_device $suite Lan ZELK_LAN
    expect $suite UsbPackageStaged "no copy of zelk_usb.inf in C:\\windows\\inf" \
        matches "$staged" '.'
    expect $suite UsbState "install-state value Usb is '$(recorded_state Usb)', not 0" \
        equals "$(recorded_state Usb)" 0
    expect $suite NoStateText "an install-state text value was written" \
        lacks_pattern "$RESULTS/watch.txt" '_Text '

    local kernel="service $KERNEL_SERVICE state=running type=1 start=2 group=Extended Base"
    kernel+=" binary=C:\\windows\\system32\\drivers\\$KERNEL_SERVICE.sys"
    expect $suite KernelServiceRunning \
        "'$(service_line installed $KERNEL_SERVICE)', not '$kernel'" \
        equals "$(service_line installed $KERNEL_SERVICE)" "$kernel"
    expect $suite RebootForced "install.log shows no REBOOT = Force" reboot_forced install
    expect $suite StateKeyDeleted "the install-state key was not deleted" \
        has_line "$RESULTS/installed.txt" "key $STATE_KEY none"
}

check_uninstall() {
    local suite=PackageUninstall
    check_run $suite uninstall "$uninstall_exit"
    check_actions $suite uninstall "${UNINSTALL_ACTIONS[@]}"
    expect $suite NoInstallActionRan "uninstall.log shows an install action" \
        lacks_pattern "$RESULTS/uninstall.log" \
        '^Action start [0-9:]*: \(ZelkInstall\|ZelkRemoveOld\|ZelkCheck\|ZelkClear\)'
    expect $suite KernelServiceDeleted "'$(service_line removed $KERNEL_SERVICE)'" \
        has_line "$RESULTS/removed.txt" "service $KERNEL_SERVICE none"
    local name
    for name in Virtual Lan; do
        local service=ZELK_${name^^}
        expect $suite "${name}DeviceRemoved" "'$(device_line removed "ROOT\\$service")'" \
            has_line "$RESULTS/removed.txt" "device ROOT\\$service none"
        expect $suite "${name}ServiceDeleted" "'$(service_line removed "$service")'" \
            has_line "$RESULTS/removed.txt" "service $service none"
    done
    expect $suite KernelDriverFileRemoved "drivers\\$KERNEL_SERVICE.sys is still there" \
        equals "$drivers_file_left" false
}

# No older package and no pending restart: the old-package action returns 2, which the package
# ignores, and no driver outcome forces a restart.
check_clean_machine() {
    local suite=PackageCleanMachine
    check_run $suite clean-install "$clean_install_exit" install
    local old_package
    old_package=$(log_result "$RESULTS/clean-install.log" ZelkRemoveOldOemPackage)
    expect $suite ZelkRemoveOldOemPackage \
        "clean-install.log shows ZelkRemoveOldOemPackage with Return value $old_package, not 1" \
        equals "$old_package" 1
    expect $suite RebootNotForced "clean-install.log shows REBOOT = Force" \
        lacks_pattern "$RESULTS/clean-install.log" '^Property(S): REBOOT = Force$'
    check_run $suite clean-uninstall "$clean_uninstall_exit" uninstall
}

# check_kernel_service_failed SUITE NAME EXIT: the run NAME failed (1603) at the kernel
# service action, which returned an error.
check_kernel_service_failed() {
    local suite=$1 name=$2 code=$3 result
    expect "$suite" ExitCode "msiexec exited with ${code:-nothing}, not 1603" equals "$code" 1603
    result=$(log_result "$RESULTS/$name.log" ZelkInstallKernelService)
    expect "$suite" ZelkInstallKernelServiceFailed \
        "$name.log shows ZelkInstallKernelService with Return value $result" \
        matches "$result" '^[02-9]'
}

# A service of the kernel driver's name exists already: the kernel service action fails with
# ERROR_SERVICE_EXISTS, the installation fails, and its rollback takes the recorded outcomes
# and the root devices away again while the existing service stays.
check_rollback() {
    local suite=PackageRollback
    check_kernel_service_failed $suite rollback "$rollback_exit"
    expect $suite ServiceExistsReturned \
        "Wine reports no return code 1073 (ERROR_SERVICE_EXISTS)" \
        grep -q 'invalid Return Code 1073$' "$RESULTS/rollback.stderr"
    local name
    for name in Virtual Lan; do
        local service=ZELK_${name^^} found
        found="'$(device_line rolledback "ROOT\\$service")',"
        found+=" '$(service_line rolledback "$service")'"
        expect $suite "${name}RolledBack" "$found" \
            has_lines "$RESULTS/rolledback.txt" "device ROOT\\$service none" \
            "service $service none"
    done
    expect $suite StateRolledBack "install-state values stayed after the rollback" \
        has_line "$RESULTS/rolledback.txt" "key $STATE_KEY none"
    expect $suite ExistingServiceKept "'$(service_line rolledback $KERNEL_SERVICE)'" \
        matches "$(service_line rolledback $KERNEL_SERVICE)" "binary=$EXISTING_BINARY_PATTERN\$"
}

# A repair (msiexec /famus) reinstalls every file but runs none of the custom actions: the devices,
# the services and the running driver stay as the installation left them.
check_repair() {
    local suite=PackageRepair
    check_run $suite repair "$repair_exit"
    expect $suite NoCustomActionRan "repair.log shows a custom action of the package" \
        lacks_pattern "$RESULTS/repair.log" '^Action start [0-9:]*: \(Set\)\?Zelk'
    local name
    for name in ROOT\\ZELK_VIRTUAL ROOT\\ZELK_LAN; do
        expect $suite "${name#ROOT\\}DeviceKept" "'$(device_line repaired "$name")'" \
            equals "$(device_line repaired "$name")" "$(device_line installed "$name")"
    done
    for name in ZELK_VIRTUAL ZELK_LAN $KERNEL_SERVICE; do
        expect $suite "${name}ServiceKept" "'$(service_line repaired "$name")'" \
            equals "$(service_line repaired "$name")" "$(service_line installed "$name")"
    done
    expect $suite NoStateLeft "the repair left install-state values" \
        has_line "$RESULTS/repaired.txt" "key $STATE_KEY none"
}

# msiexec /norestart on a machine with a pending restart: the decision forces a restart, the
# package gives REBOOT back the ReallySuppress that the switch sets and schedules the restart,
# so msiexec reports 3010; the recorded outcomes are still deleted.
check_no_restart() {
    local suite=PackageNoRestart
    check_run $suite norestart "$norestart_exit"
    expect $suite RestartReported "msiexec exited with ${norestart_exit:-nothing}, not 3010" \
        equals "$norestart_exit" 3010
    expect $suite RebootStaysSuppressed "norestart.log does not end with REBOOT = ReallySuppress" \
        has_line "$RESULTS/norestart.log" 'Property(S): REBOOT = ReallySuppress'
    expect $suite StateKeyDeleted "the install-state key was not deleted" \
        has_line "$RESULTS/norestart.txt" "key $STATE_KEY none"
    expect $suite KernelServiceRunning "'$(service_line norestart $KERNEL_SERVICE)'" \
        matches "$(service_line norestart $KERNEL_SERVICE)" ' state=running '
}

# The kernel driver stopped by hand, then the product removed: the removal action leaves a
# stopped service, the package's ServiceControl row deletes it, and the next installation works.
check_stopped_driver() {
    local suite=PackageStoppedDriver
    check_run $suite stopped-install "$stopped_install_exit" install
    expect $suite DriverStoppedByHand "'$(service_line stopped $KERNEL_SERVICE)'" \
        matches "$(service_line stopped $KERNEL_SERVICE)" ' state=stopped '
    check_run $suite stopped-uninstall "$stopped_uninstall_exit" uninstall
    expect $suite KernelServiceDeleted "'$(service_line stopped-removed $KERNEL_SERVICE)'" \
        has_line "$RESULTS/stopped-removed.txt" "service $KERNEL_SERVICE none"
    expect $suite KernelImageRemoved "drivers\\$KERNEL_SERVICE.sys is still there" \
        equals "$stopped_image" no
    check_run $suite reinstall "$reinstall_exit" reinstall
    expect $suite ReinstalledDriverRunning "'$(service_line reinstalled $KERNEL_SERVICE)'" \
        matches "$(service_line reinstalled $KERNEL_SERVICE)" ' state=running '
}

# Version 2 over version 1: version 1 is removed first, with its devices and services, and
# version 2 installs its own; afterwards everything version 2 needs is there.
check_upgrade() {
    local suite=PackageUpgrade
    check_run $suite upgrade "$upgrade_exit"
    check_actions $suite upgrade "${INSTALL_ACTIONS[@]}"
    expect $suite Version1Removed "version 1 ($v1_code) is still registered" \
        has_line "$RESULTS/upgraded.txt" "key $UNINSTALL_KEYS\\$v1_code none"
    expect $suite Version2Registered "version 2 ($v2_code) is not registered as 2.0.0" \
        has_line "$RESULTS/upgraded.txt" \
        "value $UNINSTALL_KEYS\\$v2_code\\DisplayVersion type=REG_SZ data=2.0.0"
    local name device_pattern
    for name in ZELK_VIRTUAL ZELK_LAN; do
        device_pattern="^device ROOT.$name instance=ROOT.CAN-HARDWARE.[0-9]+ service=$name present=yes\$"
        expect $suite "${name}Device" "'$(device_line upgraded "ROOT\\$name")'" \
            matches "$(device_line upgraded "ROOT\\$name")" "$device_pattern"
        expect $suite "${name}Service" "'$(service_line upgraded "$name")'" \
            matches "$(service_line upgraded "$name")" "^service $name state=[a-z-]+ type=1 "
    done
    expect $suite KernelServiceRunning "'$(service_line upgraded $KERNEL_SERVICE)'" \
        matches "$(service_line upgraded $KERNEL_SERVICE)" ' state=running '
    expect $suite KernelImagePresent "drivers\\$KERNEL_SERVICE.sys is missing" \
        equals "$upgraded_image" yes
    expect $suite InstallFolderRecorded "the product's InstallFolder value is missing" \
        grep -qF "value $PRODUCT_KEY\\InstallFolder type=REG_SZ " "$RESULTS/upgraded.txt"
    expect $suite DriverPackagesPresent "an INF of the install folder is missing" \
        equals "$upgraded_infs" yes
    expect $suite StateKeyDeleted "the install-state key was not deleted" \
        has_line "$RESULTS/upgraded.txt" "key $STATE_KEY none"
}

# A package whose kernel driver cannot start: the installation fails and its rollback takes
# everything away, the service that the failed start left included; the corrected package then
# installs on the same machine.
check_failed_start() {
    local suite=PackageFailedStart
    check_kernel_service_failed $suite nostart "$nostart_exit"
    expect $suite KernelServiceRolledBack "'$(service_line nostart $KERNEL_SERVICE)'" \
        has_line "$RESULTS/nostart.txt" "service $KERNEL_SERVICE none"
    expect $suite KernelImageRemoved "drivers\\$KERNEL_SERVICE.sys is still there" \
        equals "$nostart_image" no
    expect $suite RootDevicesRolledBack "a root device stayed" \
        has_lines "$RESULTS/nostart.txt" "device ROOT\\ZELK_VIRTUAL none" \
        "device ROOT\\ZELK_LAN none"
    expect $suite StateRolledBack "install-state values stayed after the rollback" \
        has_line "$RESULTS/nostart.txt" "key $STATE_KEY none"
    check_run $suite corrected "$corrected_exit" corrected
    expect $suite CorrectedDriverRunning "'$(service_line corrected $KERNEL_SERVICE)'" \
        matches "$(service_line corrected $KERNEL_SERVICE)" ' state=running '
}

# --- the report --------------------------------------------------------------------------------

# report_row EXPORT LOG ACTION EFFECT: one action of the run.
report_row() {
    printf '  %-36s %-2s %s\n' "$1" "$(log_result "$RESULTS/$2.log" "$3")" "$4"
}

# What a driver action did for a root device: the device and its service, the recorded outcome.
root_device_effect() {
    local device
    device=$(device_line installed "ROOT\\$1")
    if [[ $device =~ instance=([^ ]*)\ service=([^ ]*) ]]; then
        echo "device ${BASH_REMATCH[1]}, service ${BASH_REMATCH[2]};" \
            "state $2 = $(recorded_state "$2")"
    else
        echo "no device; state $2 = $(recorded_state "$2")"
    fi
}

removal_effect() {
    local left=()
    has_line "$RESULTS/removed.txt" "device ROOT\\$1 none" || left+=(device)
    has_line "$RESULTS/removed.txt" "service $1 none" || left+=(service)
    if ((${#left[@]})); then
        echo "${left[*]} $1 still there"
    else
        echo "device and service $1 removed"
    fi
}

print_report() {
    local kernel reboot="not set" cleared=kept removed=deleted
    kernel=$(service_line installed $KERNEL_SERVICE)
    if [[ $kernel =~ state=([^ ]*)\ type=([0-9]*)\ start=([0-9]*)\ group=(.*)\ binary= ]]; then
        kernel="$KERNEL_SERVICE ${BASH_REMATCH[1]}, type ${BASH_REMATCH[2]}, start"
        kernel+=" ${BASH_REMATCH[3]}, group ${BASH_REMATCH[4]}"
    fi
    reboot_forced install && reboot="= Force"
    has_line "$RESULTS/installed.txt" "key $STATE_KEY none" && cleared=deleted
    has_line "$RESULTS/removed.txt" "service $KERNEL_SERVICE none" ||
        removed="left: $(service_line removed $KERNEL_SERVICE)"

    echo
    echo "What each custom action did on a machine with an older OEM package and a pending"
    echo "restart; the number is the action's Return value in the installer's log (1 is success)."
    echo "install: msiexec /i exited with ${install_exit:-nothing}"
    report_row CA_UninstallOldZuraOem install ZelkRemoveOldOemPackage \
        "ran uninst.exe $(recorded_command uninst || echo "(not run)")"
    report_row CA_InstallCertificate install ZelkInstallCertificate \
        "ran certutil.exe $(recorded_command certutil || echo "(not run)")"
    report_row "CA_InstallDriver zelk_virtual.inf" install ZelkInstallVirtualDriver \
        "$(root_device_effect ZELK_VIRTUAL Virtual)"
    report_row "CA_InstallDriver zelk_lan.inf" install ZelkInstallLanDriver \
        "$(root_device_effect ZELK_LAN Lan)"
    report_row "CA_InstallDriver zelk_usb.inf" install ZelkInstallDriver1 \
        "staged as ${staged:-(nothing)}; state Usb = $(recorded_state Usb)"
    report_row CA_InstallNonePnPDriver install ZelkInstallKernelService "service ${kernel#service }"
    report_row CA_CheckAndSetRebootStatus install ZelkCheckReboot \
        "REBOOT $reboot (the pending restart: state Earlier = $(recorded_state Earlier))"
    report_row CA_ClearInstallDriverRegistryValues install ZelkClearInstallState \
        "install-state key $cleared"
    echo "uninstall: msiexec /x exited with ${uninstall_exit:-nothing}"
    report_row CA_UninstallNonePnPDriver uninstall ZelkUninstallKernelService \
        "service $KERNEL_SERVICE $removed"
    report_row CA_UninstallVirtualDriver uninstall ZelkUninstallVirtualDriver \
        "$(removal_effect ZELK_VIRTUAL)"
    report_row CA_UninstallLanDriver uninstall ZelkUninstallLanDriver "$(removal_effect ZELK_LAN)"
    local clean_reboot="not set"
    reboot_forced clean-install && clean_reboot="= Force"
    echo "clean machine: msiexec /i exited with ${clean_install_exit:-nothing}," \
        "REBOOT $clean_reboot; msiexec /x exited with ${clean_uninstall_exit:-nothing}"
    local code rolled=removed kept="not kept"
    code=$(sed -n 's/.*invalid Return Code \([0-9]*\)$/\1/p' "$RESULTS/rollback.stderr" | head -1)
    has_lines "$RESULTS/rolledback.txt" "device ROOT\\ZELK_VIRTUAL none" \
        "device ROOT\\ZELK_LAN none" || rolled="left"
    [[ $(service_line rolledback $KERNEL_SERVICE) == *other_bus* ]] && kept=kept
    echo "existing $KERNEL_SERVICE service: msiexec /i exited with ${rollback_exit:-nothing}" \
        "(CA_InstallNonePnPDriver returned ${code:-?});"
    echo "  rollback: root devices $rolled, the existing service $kept"
    echo "repair: msiexec exited with ${repair_exit:-nothing};" \
        "$(grep -c '^Action start [0-9:]*: \(Set\)\?Zelk' "$RESULTS/repair.log") custom actions ran"
    echo "/norestart with a pending restart: msiexec exited with ${norestart_exit:-nothing};" \
        "$(grep -m1 '^Property(S): REBOOT = ' "$RESULTS/norestart.log" || echo "REBOOT not set")"
    echo "driver stopped by hand, then msiexec /x: exited with ${stopped_uninstall_exit:-nothing};" \
        "$(service_line stopped-removed $KERNEL_SERVICE);" \
        "next msiexec /i exited with ${reinstall_exit:-nothing}"
    echo "version 1 to 2: msiexec /i exited with ${upgrade_exit:-nothing};" \
        "$(service_line upgraded $KERNEL_SERVICE | cut -d' ' -f1-3)"
    code=$(sed -n 's/.*invalid Return Code \([0-9]*\)$/\1/p' "$RESULTS/nostart.stderr" | head -1)
    echo "driver that cannot start: msiexec /i exited with ${nostart_exit:-nothing}" \
        "(CA_InstallNonePnPDriver returned ${code:-?}); after the rollback" \
        "$(service_line nostart $KERNEL_SERVICE);"
    echo "  the corrected package: msiexec /i exited with ${corrected_exit:-nothing}"
    echo
}

xml_escape() {
    sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g' <<<"$1"
}

# The checks as a GoogleTest XML report, one test suite per phase.
write_report() {
    local file=$1 suite i tests failures
    mkdir -p "$(dirname "$file")"
    {
        echo '<?xml version="1.0" encoding="UTF-8"?>'
        printf '<testsuites tests="%d" failures="%d" disabled="0" errors="0" name="AllTests">\n' \
            "${#check_names[@]}" "$(failed_count)"
        for suite in PackageInstall PackageRepair PackageUninstall PackageNoRestart \
            PackageCleanMachine PackageStoppedDriver PackageUpgrade PackageRollback \
            PackageFailedStart; do
            tests=0 failures=0
            for i in "${!check_names[@]}"; do
                [[ ${check_suites[i]} == "$suite" ]] || continue
                tests=$((tests + 1))
                [[ -z ${check_failures[i]} ]] || failures=$((failures + 1))
            done
            printf '  <testsuite name="%s" tests="%d" failures="%d" disabled="0" skipped="0"' \
                "$suite" "$tests" "$failures"
            echo ' errors="0">'
            for i in "${!check_names[@]}"; do
                [[ ${check_suites[i]} == "$suite" ]] || continue
                printf '    <testcase name="%s" classname="%s"' "${check_names[i]}" "$suite"
                if [[ -n ${check_failures[i]} ]]; then
                    printf '><failure message="%s"/></testcase>\n' \
                        "$(xml_escape "${check_failures[i]}")"
                else
                    echo '/>'
                fi
            done
            echo '  </testsuite>'
        done
        echo '</testsuites>'
    } >"$file"
}

failed_count() {
    local failed=0 failure
    for failure in "${check_failures[@]}"; do
        [[ -z $failure ]] || failed=$((failed + 1))
    done
    echo "$failed"
}

# Failed checks in full, with the installer's own errors; a count line either way.
print_outcome() {
    local failed i
    failed=$(failed_count)
    if ((failed == 0)); then
        echo "e2e: all ${#check_names[@]} checks passed ($((SECONDS - started)) s)"
        return 0
    fi
    echo "e2e: failed checks:"
    for i in "${!check_names[@]}"; do
        [[ -z ${check_failures[i]} ]] ||
            echo "  ${check_suites[i]}.${check_names[i]}: ${check_failures[i]}"
    done
    grep -H ':err:' "$RESULTS"/*.stderr 2>/dev/null |
        sed 's|^.*/\([a-z-]*\)\.stderr:|  Wine, \1: |' || true
    echo "e2e: $failed of ${#check_names[@]} checks failed ($((SECONDS - started)) s);" \
        "logs and findings in ${RESULTS#"$repo"/}"
    return 1
}

# --- the run -----------------------------------------------------------------------------------

# One run at a time: runs share the prefix names and the results folder.
mkdir -p "$ZELK_WINE_ROOT"
exec 8>"$ZELK_WINE_ROOT/package-e2e.lock"
flock 8
started=$SECONDS
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
progress "a fresh Wine prefix with an older OEM package and a pending restart"
prepare_machine package
add_old_package_and_pending_restart

progress "installing zelk_drivers.msi"
start_watcher
install_exit=$(run_msiexec install /i "$FOLDER\\zelk_drivers.msi")
stop_watcher
snapshot installed
cp "$drive/windows/system32/certutil.exe.args" "$RESULTS/certutil.args" 2>/dev/null || true
cp "$drive/Program Files/ZURA OEM Driver/uninst.exe.args" "$RESULTS/uninst.args" 2>/dev/null ||
    true
staged=$(staged_copy "$repo/package/drivers/zelk_usb.inf")

# msiexec /famus PRODUCT, spelled out: Wine's msiexec /f does not take a product code.
progress "repairing it"
repair_exit=$(run_msiexec repair /i "$(product_code install)" REINSTALL=ALL REINSTALLMODE=amus)
snapshot repaired

progress "uninstalling it"
uninstall_exit=$(run_msiexec uninstall /x "$FOLDER\\zelk_drivers.msi")
snapshot removed
drivers_file_left=false
[[ $(kernel_image_present) == yes ]] && drivers_file_left=true

# Wine's msiexec ignores /norestart; Windows' sets REBOOT=ReallySuppress for it.
progress "installing it with a pending restart and /norestart"
add_pending_restart
norestart_exit=$(run_msiexec norestart /i "$FOLDER\\zelk_drivers.msi" REBOOT=ReallySuppress)
snapshot norestart
wine_remove_prefix package

progress "installing and uninstalling it on a clean machine"
prepare_machine clean
clean_install_exit=$(run_msiexec clean-install /i "$FOLDER\\zelk_drivers.msi")
clean_uninstall_exit=$(run_msiexec clean-uninstall /x "$FOLDER\\zelk_drivers.msi")

progress "uninstalling it with the kernel driver stopped, and installing it again"
stopped_install_exit=$(run_msiexec stopped-install /i "$FOLDER\\zelk_drivers.msi")
sc stop "$KERNEL_SERVICE"
snapshot stopped
stopped_uninstall_exit=$(run_msiexec stopped-uninstall /x "$FOLDER\\zelk_drivers.msi")
snapshot stopped-removed
stopped_image=$(kernel_image_present)
reinstall_exit=$(run_msiexec reinstall /i "$FOLDER\\zelk_drivers.msi")
snapshot reinstalled

progress "upgrading it to version 2"
upgrade_exit=$(run_msiexec upgrade /i "$FOLDER\\zelk_drivers_v2.msi")
v1_code=$(product_code reinstall)
v2_code=$(product_code upgrade)
snapshot upgraded "$UNINSTALL_KEYS\\$v1_code" "$UNINSTALL_KEYS\\$v2_code"
upgraded_image=$(kernel_image_present)
upgraded_infs=no
(cd "$drive/Program Files/Zelk/CAN-LIN Drivers/Drivers" 2>/dev/null &&
    test -f Virtual/zelk_virtual.inf -a -f Lan/zelk_lan.inf -a -f Usb/zelk_usb.inf) &&
    upgraded_infs=yes
wine_remove_prefix clean

progress "installing it where a $KERNEL_SERVICE service exists already (rollback)"
prepare_machine rollback
sc create "$KERNEL_SERVICE" type= kernel start= demand binPath= "$EXISTING_BINARY"
rollback_exit=$(run_msiexec rollback /i "$FOLDER\\zelk_drivers.msi")
snapshot rolledback

progress "installing a package whose kernel driver cannot start, then the corrected one"
sc delete "$KERNEL_SERVICE"
nostart_exit=$(run_msiexec nostart /i "$FOLDER\\zelk_drivers_bad_driver.msi")
snapshot nostart
nostart_image=$(kernel_image_present)
corrected_exit=$(run_msiexec corrected /i "$FOLDER\\zelk_drivers.msi")
snapshot corrected
wine_remove_prefix rollback

check_install
check_repair
check_uninstall
check_no_restart
check_clean_machine
check_stopped_driver
check_upgrade
check_rollback
check_failed_start
[[ -z $report ]] || write_report "$report"
$brief || print_report
print_outcome
