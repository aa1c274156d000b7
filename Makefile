# The front door.
#   make        installs what is missing, builds zelk_ca.dll, the package checker, the sample
#               package and the sample driver images (dist/sample/) into dist/ and the Windows
#               test kit into dist/windows-check/, runs the package end to end under Wine and
#               reports what each custom action did
#   make check  the quick layers, no Wine, from one host build under AddressSanitizer and
#               UBSan: the unit tests, winsim's own cases and the fuzz targets' seed corpus
#               replayed; ends with the summary
#   make test   every layer: those of make check, the DLL audit, the Wine suite, the platform
#               conformance suite on both sides, the sample package end to end, the package
#               checker, the authors' try and check wrappers on the smaller sample package, the
#               audit and Wine suite of clang's build of the DLL, clang-tidy, and the release (a
#               second, identical build; signing; the archive); builds first, then runs the
#               layers two at a time and ends with the summary: per layer, seconds per step,
#               and one closing line
#   make sign   signs dist/: the DLL, the checker, the sample packages holding the signed DLL,
#               and the cube's evaluator (certificate from the environment, see scripts/sign.sh)
#   make release
#               dist/zelk_ca-VERSION.zip with SHA256SUMS and its signature SHA256SUMS.p7s,
#               signed when a certificate is set; dist/zelk_ca-VERSION-unsigned.zip when none
#               is, and no archive when signing was asked for but dist/ is not signed
#               (scripts/release.sh)
#   make fuzz   fuzzes every libFuzzer target for FUZZ_SECONDS (default 180) each, in a
#               clang build of its own (not part of make test)
#   make bench  host benchmarks of the simulated platform (figures, not a test), in an
#               optimised build without sanitizers
#   make clean  removes the preset build trees, the Wine prefixes, the reports and dist/
SHELL := /bin/bash
JOBS ?= $(shell nproc)
REPORTS := build/reports
DLL := dist/zelk_ca.dll
PACKAGE := dist/zelk_drivers.msi

.PHONY: all setup host mingw mingw-clang dist sample smoke test check test-host audit \
	test-wine test-conformance test-e2e test-checker test-try audit-clang test-wine-clang lint \
	bench fuzz-build fuzz test-fuzz kit test-windows-mode wine-template clean

all: sample

setup:
	@scripts/bootstrap.sh

# The build's own make runs as a top-level one, so that it does not announce every directory.
host mingw mingw-clang: setup
	cmake --preset $@
	env -u MAKELEVEL -u MAKEFLAGS -u MFLAGS cmake --build --preset $@ -j $(JOBS)

# dist/sample/: signed driver packages for authors who want to try a package without their own,
# laid out as the sample package's PackageDir (drivers/ with the catalogs, certificate/) with the
# kernel driver in kernel/ and the test root that issued the signer (docs/Your-own-package.md).
SAMPLE := dist/sample

dist: mingw
	@mkdir -p dist
	cp build/mingw/zelk_ca.dll $(DLL)
	cp build/mingw/tools/checker/zelk_ca_check.exe build/mingw/tools/checker/zelk_ca.cub dist/
	cp build/mingw/package/zelk_drivers.msi $(PACKAGE)
	cp build/mingw/package/zelk_minimal.msi dist/
	@rm -rf $(SAMPLE) && mkdir -p $(SAMPLE)
	cp -R build/mingw/sample/. $(SAMPLE)/
	@mkdir -p dist/try
	cp build/mingw/tools/try/try_package.exe build/mingw/tests/wine/newdev.dll \
	    build/mingw/tests/wine/record_args.exe dist/try/
	@scripts/sign.sh --status

sign: dist
	scripts/sign.sh

# Signed when a certificate is configured (scripts/sign.sh). `dist` copies the unsigned build
# outputs again, so a dist/ signed earlier without the certificate now set is refused by
# release.sh, never packed unsigned.
release: dist
	@if [[ -n "$$ZELK_SIGN_CERT$$ZELK_SIGN_PKCS12" ]]; then scripts/sign.sh; fi
	scripts/release.sh

# The sample package end to end under Wine (tests/e2e), with the report of what each custom
# action did.
sample: dist kit
	@scripts/run-wine-tests.sh --suite e2e --keep build/e2e -- $(GTEST_FLAGS) --report

# The test programs, the sample packages and their stand-ins for a disposable Windows VM
# (tests/e2e/windows-check.md).
KIT := dist/windows-check
KIT_FILES := build/mingw/tests/conformance/conformance_tests.exe \
	build/mingw/tests/conformance/conformance_session.msi build/mingw/tests/e2e/e2e_tests.exe \
	build/mingw/tests/checker/checker_tests.exe build/mingw/zelk_ca.dll \
	build/mingw/tools/checker/zelk_ca_check.exe build/mingw/tools/checker/zelk_ca.cub \
	build/mingw/tests/checker/zelk_validate.exe build/mingw/package/*.msi \
	build/mingw/tests/wine/session.msi build/mingw/tests/wine/record_args.exe \
	build/mingw/sample/kernel/zelk_testdrv.sys build/mingw/sample/test-root.cer \
	tests/e2e/kit/prepare.cmd tests/e2e/kit/run.cmd tests/e2e/kit/collect.cmd \
	tests/e2e/kit/cleanup.cmd

kit: mingw
	@rm -rf $(KIT) && mkdir -p $(KIT)
	cp $(KIT_FILES) $(KIT)/
	cp -R build/mingw/sample $(KIT)/sample
	cp tests/e2e/windows-check.md $(KIT)/README.md

# The Wine prefix every run copies (scripts/wine-env.sh), made once; beside the builds in `make
# test`, before any layer needs it.
wine-template: setup
	@ZELK_WINE_ROOT=$(CURDIR)/build/wine bash -c 'source scripts/wine-env.sh && wine_ensure_template'

smoke: dist
	scripts/run-wine-tests.sh --smoke --dll $(DLL)

# The layers of `make test`, each a target below. They run two at a time (LANES), longest first
# as a fresh clone runs them (clang-tidy then analyses every file), once everything they test is
# built; each one's output is printed whole when it ends.
TEST_LAYERS := lint test-checker test-windows-mode test-e2e test-try test-release test-wine \
	test-wine-clang test-conformance test-host test-fuzz audit audit-clang
# `make check`: the layers that catch most faults in a minute and need no Wine prefix, both
# from the host build.
CHECK_LAYERS := test-host test-fuzz
LANES ?= 2
# What the layers are built from. The build step makes all of it first; the layers then take it
# as made (make -o), so two layers never build the same tree at once.
TEST_BUILDS := setup host mingw mingw-clang dist kit wine-template

# Every layer runs even when an earlier one fails; the summary decides.
test: setup
	@scripts/run-layers.sh --reports $(REPORTS) --lanes $(LANES) --builds "$(TEST_BUILDS)" \
	    -- $(TEST_LAYERS)

check: setup
	@scripts/run-layers.sh --reports $(REPORTS) --lanes 2 --builds "setup host" \
	    --layers "host winsim fuzz" -- $(CHECK_LAYERS)

# Brief output: failures in full, passing tests only in the count.
GTEST_FLAGS := --gtest_brief=1

# The product's unit tests, then winsim's own cases (layer "winsim"), under AddressSanitizer and
# UBSan (the host build); both run even when one fails.
test-host: host
	@mkdir -p $(REPORTS)
	@status=0; build/host/tests/unit/unit_tests $(GTEST_FLAGS) \
	    --gtest_output=xml:$(REPORTS)/host.xml || status=1; \
	    build/host/tests/winsim/winsim_tests $(GTEST_FLAGS) \
	    --gtest_output=xml:$(REPORTS)/winsim-host.xml || status=1; exit $$status

audit: dist
	@mkdir -p $(REPORTS)
	scripts/audit-dll.sh $(DLL) --map build/mingw/zelk_ca.map --report $(REPORTS)/audit.xml

# The fuzz targets. `make test-fuzz` replays the checked-in seed corpus once through the host
# build's replay program (ASan and UBSan, no libFuzzer); `make fuzz` fuzzes each target for
# FUZZ_SECONDS (or FUZZ_RUNS executions, whichever ends first) in the fuzz preset's libFuzzer
# build (clang, ASan and UBSan).
FUZZ_SECONDS ?= 180
FUZZ_RUNS ?= -1

fuzz-build: setup
	cmake --preset fuzz
	env -u MAKELEVEL -u MAKEFLAGS -u MFLAGS cmake --build --preset fuzz -j $(JOBS)

fuzz: fuzz-build
	scripts/fuzz.sh run --seconds $(FUZZ_SECONDS) --runs $(FUZZ_RUNS)

test-fuzz: host
	@mkdir -p $(REPORTS)
	scripts/fuzz.sh replay --report $(REPORTS)/fuzz.xml

test-wine: dist
	scripts/run-wine-tests.sh --dll $(DLL) --reports $(REPORTS) -- $(GTEST_FLAGS)

# The same platform cases against winsim and under Wine; both sides run even when one fails.
test-conformance: host dist
	@mkdir -p $(REPORTS)
	@status=0; build/host/tests/conformance/conformance_tests $(GTEST_FLAGS) \
	    --gtest_output=xml:$(REPORTS)/conf-host.xml || status=1; \
	    scripts/run-wine-tests.sh --suite conformance --dll $(DLL) --reports $(REPORTS) \
	    -- $(GTEST_FLAGS) || status=1; exit $$status

# The sample package end to end, one fresh Wine prefix per machine (tests/e2e/groups.txt).
test-e2e: dist
	scripts/run-wine-tests.sh --suite e2e --keep build/e2e --reports $(REPORTS) -- $(GTEST_FLAGS)

# The kit's programs under Wine with Wine's detection off: their Windows branches, where Wine
# can serve them, and the kit's .cmd files under Wine's cmd (scripts/windows-mode-tests.sh).
test-windows-mode: dist kit
	scripts/windows-mode-tests.sh --reports $(REPORTS) -- $(GTEST_FLAGS)

# zelk_ca_check.exe on the sample package and on broken variants of it, and beside it the
# validation cube zelk_ca.cub on the same packages, in two shards: it must report the
# checker's findings.
test-checker: dist
	@status=0; scripts/run-wine-tests.sh --suite checker --keep build/checker \
	    --reports $(REPORTS) -- $(GTEST_FLAGS) --gtest_filter='*PackageChecker*' & \
	    checker=$$!; scripts/run-wine-tests.sh --suite checker --keep build/checker \
	    --reports $(REPORTS) --report-prefix cube --shards 2 -- $(GTEST_FLAGS) \
	    --gtest_filter='*ValidationCube.*' || status=1; wait $$checker || status=1; exit $$status

# The authors' wrappers: scripts/try-package.sh on the smaller sample package, and
# scripts/check-package.sh, each in a private Wine prefix.
test-try: dist
	@mkdir -p $(REPORTS)
	scripts/try-tests.sh --report $(REPORTS)/try.xml

bench: setup
	cmake --preset bench
	env -u MAKELEVEL -u MAKEFLAGS -u MFLAGS cmake --build --preset bench -j $(JOBS)
	build/bench/benchmarks/device_tree_benchmark

# clang's build of the DLL, under the same audit and Wine suite (the suite's programs are GCC's).
CLANG_DLL := build/mingw-clang/zelk_ca.dll

audit-clang: mingw-clang
	@mkdir -p $(REPORTS)
	scripts/audit-dll.sh $(CLANG_DLL) --map build/mingw-clang/zelk_ca.map \
	    --report $(REPORTS)/clang-audit.xml

test-wine-clang: mingw-clang dist
	scripts/run-wine-tests.sh --dll $(CLANG_DLL) --reports $(REPORTS) --report-prefix clang-wine \
	    -- $(GTEST_FLAGS)

# clang-tidy over src/ (.clang-tidy), compiled as clang's build of the DLL compiles it.
lint: mingw-clang
	@mkdir -p $(REPORTS)
	scripts/lint.sh --build build/mingw-clang --report $(REPORTS)/lint.xml

# A second build of the DLL and the checker in another folder, compared byte for byte; signing
# with a throwaway certificate, the signed DLL and package under Wine; the release archive.
test-release: dist
	@mkdir -p $(REPORTS)
	scripts/release-tests.sh --report $(REPORTS)/release.xml

clean:
	rm -rf build/host build/bench build/fuzz build/mingw build/mingw-clang build/wine build/e2e \
	    build/checker build/release build/try $(REPORTS) dist
