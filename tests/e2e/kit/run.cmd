@echo off
rem Runs one machine of the kit: "run.cmd checks" runs the conformance suite and the package
rem checker's tests, "run.cmd main" (and clean, rollback, suppress, upgrade, removal,
rem norollback, features, minor, shared, latenorb, migrate, again, small) the end-to-end scenarios
rem of that machine. The GoogleTest reports go to results\.
setlocal EnableExtensions
cd /d "%~dp0"

if not exist machine-facts.txt (
    echo run: this machine was not prepared; run prepare.cmd as administrator first.
    exit /b 1
)
if not exist results mkdir results
set machine=%~1
if "%machine%"=="checks" (
    conformance_tests.exe --gtest_output=xml:results\conformance.xml
    checker_tests.exe --gtest_output=xml:results\checker.xml
    exit /b 0
)
set filter=
if "%machine%"=="main" set filter=*/Install:*/Repair:*/Uninstall:*/NoRestart
if "%machine%"=="clean" set filter=*/CleanMachine:*/StoppedDriver:*/Upgrade
if "%machine%"=="rollback" set filter=*/Rollback:*/FailedStart
if "%machine%"=="suppress" set filter=*/RestartSuppressed:*/SameVersionRebuild:*/SmallerPackage
if "%machine%"=="upgrade" set filter=*/FailedUpgrade
if "%machine%"=="removal" set filter=*/FailedRemoval
if "%machine%"=="norollback" set filter=*/RollbackDisabled
if "%machine%"=="features" set filter=*/FeatureAddedThenRemoved
if "%machine%"=="minor" set filter=*/MinorUpgradeRefused
if "%machine%"=="shared" set filter=*/SharedVirtualDevice
if "%machine%"=="latenorb" set filter=*/RollbackTurnedOffLate
if "%machine%"=="migrate" set filter=*/FeaturesCarriedOver
if "%machine%"=="again" set filter=*/ReinstalledAtOnce
if "%machine%"=="small" set filter=*/SmallUpdateRefused
if not defined filter (
    echo usage: run.cmd checks^|main^|clean^|rollback^|suppress^|upgrade^|removal^|norollback^|features^|minor^|shared^|latenorb^|migrate^|again^|small
    exit /b 2
)
e2e_tests.exe --gtest_filter=%filter% --report --gtest_output=xml:results\e2e-%machine%.xml
