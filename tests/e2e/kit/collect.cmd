@echo off
rem Gathers one machine's results into zelk-results-NAME.zip beside the kit: the GoogleTest
rem reports (results\), the msiexec logs, setupapi.dev.log, the machine's facts and a summary.
rem Copy the zip off the VM before restoring its snapshot.
setlocal EnableExtensions
cd /d "%~dp0"

set name=%~1
if "%name%"=="" set name=%COMPUTERNAME%
set stage=%TEMP%\zelk-results-%name%
if exist "%stage%" rd /s /q "%stage%"
mkdir "%stage%"
if exist results copy results\*.xml "%stage%\" >nul
copy *.log "%stage%\" >nul 2>&1
if exist machine-facts.txt copy machine-facts.txt "%stage%\" >nul
if exist "%windir%\inf\setupapi.dev.log" copy "%windir%\inf\setupapi.dev.log" "%stage%\" >nul

rem The summary: each report's counts, then every failure and skip with its message.
powershell -NoProfile -Command ^
  "Get-ChildItem '%stage%\*.xml' | ForEach-Object {" ^
  "  $x = [xml](Get-Content $_.FullName); $t = $x.testsuites;" ^
  "  '{0}: {1} tests, {2} failed, {3} skipped' -f $_.Name, $t.tests, $t.failures, $x.SelectNodes('//skipped').Count;" ^
  "  $x.SelectNodes('//failure') | ForEach-Object { '  failed  ' + $_.ParentNode.classname + '.' + $_.ParentNode.name + ': ' + ($_.message -split [char]10)[0] };" ^
  "  $x.SelectNodes('//skipped') | ForEach-Object { '  skipped ' + $_.ParentNode.classname + '.' + $_.ParentNode.name + ': ' + $_.message } }" ^
  > "%stage%\summary.txt"
type "%stage%\summary.txt"

if exist "zelk-results-%name%.zip" del "zelk-results-%name%.zip"
powershell -NoProfile -Command "Compress-Archive -Path '%stage%\*' -DestinationPath 'zelk-results-%name%.zip'"
if errorlevel 1 (
    echo collect: the zip could not be written; the files are in %stage%
    exit /b 1
)
rd /s /q "%stage%"
echo collect: zelk-results-%name%.zip
