@echo off
rem Takes out of this machine what the kit put there to trust the sample: the kit's test root
rem from the machine's Root store (prepare.cmd put it there) and the sample's publisher
rem certificate from TrustedPublisher (the sample's installation put it there). Restoring the
rem VM's snapshot from before prepare.cmd does the same and more; this is for a machine kept.
rem Run it from the kit's folder in a command prompt opened with "Run as administrator".
rem Exit code: 0 when neither is left, 1 when one could not be removed, 2 for a
rem non-administrator.
setlocal EnableExtensions
cd /d "%~dp0"
set "sys=%SystemRoot%\System32"

rem Elevated: "net session" answers only an elevated administrator, and so does fltmc where
rem the Server service that net asks is off.
set elevated=
"%sys%\net.exe" session >nul 2>&1 && set elevated=yes
if not defined elevated "%sys%\fltmc.exe" >nul 2>&1 && set elevated=yes
if not defined elevated (
    echo cleanup: not an administrator. Open the command prompt with "Run as administrator"
    echo and run cleanup.cmd again. Nothing was changed.
    exit /b 2
)
set status=0
call :remove Root test-root.cer
call :remove TrustedPublisher sample\certificate\zelk_publisher.cer
if exist machine-facts.txt del machine-facts.txt
exit /b %status%

rem :remove STORE FILE: the file's certificate, by its SHA-1 hash (certutil's -hashfile of a
rem DER file is the certificate's hash). FILE has no spaces: for /f's command line keeps two
rem quotes only.
:remove
if not exist "%~2" (
    echo cleanup: %~2 is not in the kit's folder; copy the whole kit folder.
    set status=1
    exit /b 0
)
set hash=
for /f "usebackq skip=1 delims=" %%h in (`"%sys%\certutil.exe" -hashfile %~2 SHA1`) do (
    if not defined hash set "hash=%%h"
)
set "hash=%hash: =%"
"%sys%\certutil.exe" -store %~1 %hash% >nul 2>&1
if errorlevel 1 (
    echo cleanup: %~2 is not in the %~1 store.
    exit /b 0
)
"%sys%\certutil.exe" -delstore %~1 %hash% >nul
"%sys%\certutil.exe" -store %~1 %hash% >nul 2>&1
if errorlevel 1 (
    echo cleanup: %~2 removed from the %~1 store.
    exit /b 0
)
echo cleanup: %~2 is still in the %~1 store; remove it with certmgr.msc ^(Local Computer^).
set status=1
exit /b 0
