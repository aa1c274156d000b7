@echo off
rem Prepares this VM for the kit's programs: checks administrator rights, Secure Boot and test
rem signing, puts the kit's test root certificate into the machine's Root store (TrustedPublisher
rem stays empty: filling it is the product's job) and records the machine's facts in
rem machine-facts.txt, which the programs read to skip what the machine cannot do.
rem cleanup.cmd takes the test root out of the Root store again.
rem Run it from the kit's folder in a command prompt opened with "Run as administrator".
rem Every system program is named by its full path: the kit's folder is searched first.
setlocal EnableExtensions
cd /d "%~dp0"
set "sys=%SystemRoot%\System32"
set "powershell=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"

rem Elevated: "net session" answers only an elevated administrator, and so does fltmc where
rem the Server service that net asks is off.
set elevated=
"%sys%\net.exe" session >nul 2>&1 && set elevated=yes
if not defined elevated "%sys%\fltmc.exe" >nul 2>&1 && set elevated=yes
if not defined elevated (
    echo prepare: not an administrator. Open the command prompt with "Run as administrator"
    echo and run prepare.cmd again. Nothing was changed.
    exit /b 2
)

set secure_boot=off
rem A command of for /f keeps two quotation marks only (cmd /c takes away the first and the
rem last of more), so the value's line is picked here rather than by find.
for /f "usebackq tokens=1,3" %%a in (`"%sys%\reg.exe" query HKLM\SYSTEM\CurrentControlSet\Control\SecureBoot\State /v UEFISecureBootEnabled 2^>nul`) do (
    if /i "%%a"=="UEFISecureBootEnabled" if "%%b"=="0x1" set secure_boot=on
)
rem The options Windows was started with: test signing counts only after the restart.
set test_signing=off
"%sys%\reg.exe" query HKLM\SYSTEM\CurrentControlSet\Control /v SystemStartOptions 2>nul | "%sys%\find.exe" /i "TESTSIGNING" >nul
if not errorlevel 1 set test_signing=on

set test_root=missing
if exist test-root.cer (
    "%sys%\certutil.exe" -f -addstore Root test-root.cer >nul
    if not errorlevel 1 set test_root=installed
) else (
    echo prepare: test-root.cer is not beside prepare.cmd; copy the whole kit folder.
)

set code_page=
for /f "usebackq tokens=1,3" %%a in (`"%sys%\reg.exe" query HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage /v ACP`) do (
    if /i "%%a"=="ACP" set code_page=%%b
)

rem Windows lets only the system write the device tree's Enum key; an administrator is refused.
set enum_writable=no
"%sys%\reg.exe" add HKLM\SYSTEM\CurrentControlSet\Enum\ZelkWriteProbe /f >nul 2>&1
if not errorlevel 1 (
    set enum_writable=yes
    "%sys%\reg.exe" delete HKLM\SYSTEM\CurrentControlSet\Enum\ZelkWriteProbe /f >nul 2>&1
)

set windows=
for /f "usebackq delims=" %%v in (`ver`) do set windows=%%v

rem The test root's validity against this VM's clock: a clock behind its start, or past its
rem end, fails every catalog check of the sample's drivers.
set test_root_valid=unknown
set "validity=%TEMP%\zelk-test-root-validity.txt"
if exist test-root.cer if exist "%powershell%" (
    "%powershell%" -NoProfile -Command "$c = New-Object System.Security.Cryptography.X509Certificates.X509Certificate2((Resolve-Path -LiteralPath 'test-root.cer').Path); $n = Get-Date; '{0} from {1:u} to {2:u}, clock {3:u}' -f $(if ($n -ge $c.NotBefore -and $n -le $c.NotAfter) {'yes'} else {'no'}), $c.NotBefore, $c.NotAfter, $n" >"%validity%" 2>nul
    set /p test_root_valid=<"%validity%"
    del "%validity%" >nul 2>&1
)

(
    echo code_page=%code_page%
    echo secure_boot=%secure_boot%
    echo test_signing=%test_signing%
    echo test_root=%test_root%
    echo test_root_valid=%test_root_valid%
    echo enum_writable=%enum_writable%
    echo windows=%windows%
) > machine-facts.txt
echo prepare: recorded in machine-facts.txt:
type machine-facts.txt

set ready=yes
if "%secure_boot%"=="on" call :secure_boot_help
if "%test_signing%"=="off" call :test_signing_help
if "%test_root%"=="missing" set ready=no
if "%test_root_valid:~0,2%"=="no" call :clock_help
if "%test_root%"=="installed" call :root_note
echo.
if "%ready%"=="yes" goto ready
echo prepare: not ready; the cases that need a driver that loads will skip with that reason.
exit /b 2
:ready
echo prepare: ready. Take the VM's snapshot now and restore it before each machine.
exit /b 0

:root_note
echo.
echo The kit's test root "Zelk sample test root" is now in this machine's Root store. It can
echo sign code only, and nothing else is trusted through it, but it stays until removed:
echo restore the VM's snapshot taken before prepare.cmd, or run cleanup.cmd as administrator.
exit /b 0

:clock_help
set ready=no
echo.
echo The test root is not valid at this VM's clock (%test_root_valid%). Set the VM's date and
echo time right (or build the kit again) and run prepare.cmd again.
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
