@echo off
rem Prepares this VM for the kit's programs: checks administrator rights, Secure Boot and test
rem signing, puts the kit's test root certificate into the machine's Root store (TrustedPublisher
rem stays empty: filling it is the product's job) and records the machine's facts in
rem machine-facts.txt, which the programs read to skip what the machine cannot do.
rem Run it from the kit's folder in a command prompt opened with "Run as administrator".
setlocal EnableExtensions
cd /d "%~dp0"

net session >nul 2>&1
if errorlevel 1 (
    echo prepare: not an administrator. Open the command prompt with "Run as administrator"
    echo and run prepare.cmd again.
    exit /b 1
)

set secure_boot=off
for /f "tokens=3" %%v in ('reg query HKLM\SYSTEM\CurrentControlSet\Control\SecureBoot\State /v UEFISecureBootEnabled 2^>nul ^| find "UEFISecureBootEnabled"') do (
    if "%%v"=="0x1" set secure_boot=on
)
rem The options Windows was started with: test signing counts only after the restart.
set test_signing=off
reg query HKLM\SYSTEM\CurrentControlSet\Control /v SystemStartOptions 2>nul | find /i "TESTSIGNING" >nul
if not errorlevel 1 set test_signing=on

set test_root=missing
if exist test-root.cer (
    certutil -f -addstore Root test-root.cer >nul
    if not errorlevel 1 set test_root=installed
) else (
    echo prepare: test-root.cer is not beside prepare.cmd; copy the whole kit folder.
)

set code_page=
for /f "tokens=3" %%v in ('reg query HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage /v ACP ^| find "ACP"') do set code_page=%%v

rem Windows lets only the system write the device tree's Enum key; an administrator is refused.
set enum_writable=no
reg add HKLM\SYSTEM\CurrentControlSet\Enum\ZelkWriteProbe /f >nul 2>&1
if not errorlevel 1 (
    set enum_writable=yes
    reg delete HKLM\SYSTEM\CurrentControlSet\Enum\ZelkWriteProbe /f >nul 2>&1
)

set windows=
for /f "delims=" %%v in ('ver') do set windows=%%v

(
    echo code_page=%code_page%
    echo secure_boot=%secure_boot%
    echo test_signing=%test_signing%
    echo test_root=%test_root%
    echo enum_writable=%enum_writable%
    echo windows=%windows%
) > machine-facts.txt
echo prepare: recorded in machine-facts.txt:
type machine-facts.txt

set ready=yes
if "%secure_boot%"=="on" call :secure_boot_help
if "%test_signing%"=="off" call :test_signing_help
if "%test_root%"=="missing" set ready=no
echo.
if "%ready%"=="yes" goto ready
echo prepare: not ready; the cases that need a driver that loads will skip with that reason.
exit /b 2
:ready
echo prepare: ready. Take the VM's snapshot now and restore it before each machine.
exit /b 0

:secure_boot_help
set ready=no
echo.
echo Secure Boot is on, and Windows ignores test signing while it is. Shut the VM down, turn
echo Secure Boot off in its firmware settings (Hyper-V: the VM's Settings, Security, clear
echo "Enable Secure Boot"; VMware: VM Options, Advanced, clear "Enable secure boot"), start it
echo again and run prepare.cmd again.
exit /b 0

:test_signing_help
set ready=no
echo.
echo Test signing is off. Turn it on with
echo     bcdedit /set testsigning on
echo then restart the VM (shutdown /r /t 0) and run prepare.cmd again.
exit /b 0
