@echo off
rem Gathers one machine's results into zelk-results-NAME-COMPUTER.zip beside the kit: the
rem GoogleTest reports and what each program printed (results\), the msiexec logs,
rem setupapi.dev.log, the machine's facts and a summary. Give it the name run.cmd was given.
rem Copy the zip off the VM before restoring its snapshot. Exit code: 0 with the zip written,
rem 1 when it could not be (the files stay in the folder named), 2 for a name it does not know.
setlocal EnableExtensions DisableDelayedExpansion
cd /d "%~dp0"
set "sys=%SystemRoot%\System32"
set "powershell=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"

rem As run.cmd: the argument is expanded only late, and only a known name goes further.
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
if not defined known (
    echo usage: collect.cmd NAME, where NAME is the one run.cmd was given: checks or a machine
    echo of the table ^(e2e_tests.exe --machines lists them^).
    exit /b 2
)

set "zip=zelk-results-!machine!-%COMPUTERNAME%.zip"
set "stage=%TEMP%\zelk-results-!machine!-%COMPUTERNAME%"
if exist "!stage!" rd /s /q "!stage!"
mkdir "!stage!"
if exist results copy results\*.xml "!stage!\" >nul
if exist results copy results\*.txt "!stage!\" >nul
copy *.log "!stage!\" >nul 2>&1
if exist machine-facts.txt copy machine-facts.txt "!stage!\" >nul
if exist "%SystemRoot%\inf\setupapi.dev.log" copy "%SystemRoot%\inf\setupapi.dev.log" "!stage!\" >nul

rem PowerShell takes the paths in single quotes, where a quote is written twice.
set "stageq=!stage:'=''!"
set "zipq=%~dp0!zip!"
set "zipq=!zipq:'=''!"
if not exist "%powershell%" (
    echo collect: %powershell% is not there, so neither the summary nor the zip can be made;
    echo the files are in !stage!
    exit /b 1
)
rem The summary: each report's counts, then every failure and skip with its message.
"%powershell%" -NoProfile -Command ^
  "Get-ChildItem -LiteralPath '!stageq!' -Filter *.xml | ForEach-Object {" ^
  "  $x = [xml](Get-Content -LiteralPath $_.FullName); $t = $x.testsuites;" ^
  "  '{0}: {1} tests, {2} failed, {3} skipped' -f $_.Name, $t.tests, $t.failures, $x.SelectNodes('//skipped').Count;" ^
  "  $x.SelectNodes('//failure') | ForEach-Object { '  failed  ' + $_.ParentNode.classname + '.' + $_.ParentNode.name + ': ' + ($_.message -split [char]10)[0] };" ^
  "  $x.SelectNodes('//skipped') | ForEach-Object { '  skipped ' + $_.ParentNode.classname + '.' + $_.ParentNode.name + ': ' + $_.message } }" ^
  > "!stage!\summary.txt"
type "!stage!\summary.txt"

if exist "!zip!" del "!zip!"
"%powershell%" -NoProfile -Command "Compress-Archive -Path '!stageq!\*' -DestinationPath '!zipq!'"
rem Whatever PowerShell's exit code says, the stage goes only once the zip is there.
if not exist "!zip!" (
    echo collect: the zip could not be written; the files are in !stage!
    exit /b 1
)
rd /s /q "!stage!"
echo collect: !zip!
exit /b 0
