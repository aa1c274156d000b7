@echo off
rem Runs one machine of the kit, as administrator on the prepared VM: "run.cmd checks" runs the
rem conformance suite and the package checker's tests, "run.cmd MACHINE" the end-to-end
rem scenarios of that machine, from the table of machines that e2e_tests.exe carries (the same
rem one the Wine run reads; "e2e_tests.exe --machines" lists the names). The GoogleTest reports
rem go to results\, and what each program printed to results\PROGRAM.txt, shown when it ends.
rem Exit code: 0 when every program passed, 1 when one failed (each named at the end), 2 when
rem nothing ran (a name it does not know, no elevation, a machine not prepared).
setlocal EnableExtensions DisableDelayedExpansion
cd /d "%~dp0"
set "kit=%~dp0"
set "sys=%SystemRoot%\System32"

rem The argument is read as text and expanded only late, so that no character in it is ever
rem taken for a command; only a name of the table goes further.
set "machine=%~1"
set "extra=%~2"
setlocal EnableDelayedExpansion
set known=
if "!machine!"=="checks" set known=yes
if not defined known if exist e2e_tests.exe (
    for /f "usebackq delims=" %%m in (`e2e_tests.exe --machines`) do (
        if "!machine!"=="%%m" set known=yes
    )
)
if defined extra set known=
if not defined known goto usage

rem Elevated: "net session" answers only an elevated administrator, and so does fltmc where
rem the Server service that net asks is off.
set elevated=
"%sys%\net.exe" session >nul 2>&1 && set elevated=yes
if not defined elevated "%sys%\fltmc.exe" >nul 2>&1 && set elevated=yes
if not defined elevated (
    echo run: not elevated. The programs install drivers and services for the whole machine,
    echo which Windows allows only an elevated administrator: open the command prompt with
    echo "Run as administrator" and run run.cmd !machine! again. Nothing was run.
    exit /b 2
)
if not exist machine-facts.txt (
    echo run: this machine was not prepared; run prepare.cmd as administrator first.
    exit /b 2
)
if not exist results mkdir results
set failed=
if "!machine!"=="checks" (
    call :run conformance conformance_tests.exe "--gtest_output=xml:results\conformance.xml"
    call :run checker checker_tests.exe "--gtest_output=xml:results\checker.xml"
) else (
    call :run e2e-!machine! e2e_tests.exe "--machine !machine! --report --gtest_output=xml:results\e2e-!machine!.xml"
)
echo.
if defined failed (
    echo run: FAILED:!failed!. collect.cmd !machine! puts the reports and logs into a zip.
    exit /b 1
)
echo run: every program passed. collect.cmd !machine! puts the reports and logs into a zip.
exit /b 0

rem :run NAME PROGRAM "ARGUMENTS": the program from the kit's folder, what it printed kept in
rem results\NAME.txt (for collect.cmd) and shown; NAME is added to the failures unless it
rem ended with 0.
:run
set "name=%~1"
set "program=%~2"
set "arguments=%~3"
echo run: %name% is running; what it prints goes to results\%name%.txt, shown when it ends.
"%kit%%program%" %arguments% >"results\%name%.txt" 2>&1
set code=%errorlevel%
type "results\%name%.txt"
echo run: %name% ended with %code%
if not "%code%"=="0" set "failed=%failed% %name% (exit code %code%)"
exit /b 0

:usage
echo usage: run.cmd NAME, as administrator, where NAME is checks or a machine of the table:
if not exist e2e_tests.exe (
    echo     e2e_tests.exe is not beside run.cmd: copy the whole kit folder.
    exit /b 2
)
for /f "usebackq delims=" %%m in (`e2e_tests.exe --machines`) do echo     %%m
exit /b 2
