# The front door.
#   make        installs what is missing, builds zelk_ca.dll into dist/ and runs the smoke
#               session under Wine
#   make test   host unit tests, the same under AddressSanitizer, the DLL audit and the Wine
#               suite; runs them all and ends with one summary line
#   make clean  removes the preset build trees, the Wine prefixes, the reports and dist/
SHELL := /bin/bash
JOBS ?= $(shell nproc)
REPORTS := build/reports
DLL := dist/zelk_ca.dll

.PHONY: all setup host asan mingw dist smoke test test-host test-asan audit test-wine clean

all: smoke

setup:
	@scripts/bootstrap.sh

host asan mingw: setup
	cmake --preset $@
	cmake --build --preset $@ -j $(JOBS)

dist: mingw
	@mkdir -p dist
	cp build/mingw/zelk_ca.dll $(DLL)

smoke: dist
	scripts/run-wine-tests.sh --smoke --dll $(DLL)

# Every layer runs even when an earlier one fails; the summary decides.
test: setup
	@rm -rf $(REPORTS)
	@status=0; $(MAKE) -k --no-print-directory test-host test-asan audit test-wine || status=$$?; \
	    scripts/test-summary.sh $(REPORTS) $$status

# Brief output: failures in full, passing tests only in the count.
GTEST_FLAGS := --gtest_brief=1

test-host: host
	@mkdir -p $(REPORTS)
	build/host/tests/unit/unit_tests $(GTEST_FLAGS) --gtest_output=xml:$(REPORTS)/host.xml

test-asan: asan
	@mkdir -p $(REPORTS)
	build/asan/tests/unit/unit_tests $(GTEST_FLAGS) --gtest_output=xml:$(REPORTS)/asan.xml

audit: dist
	@mkdir -p $(REPORTS)
	scripts/audit-dll.sh $(DLL) --report $(REPORTS)/audit.xml

test-wine: dist
	scripts/run-wine-tests.sh --dll $(DLL) --reports $(REPORTS) -- $(GTEST_FLAGS)

clean:
	rm -rf build/host build/asan build/mingw build/wine $(REPORTS) dist
