# warpmender: the two commands a user needs are `make demo` and `make test`.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup build test test-sanitize test-sanitize-units demo screenshot bench fuzz clean

all: build

setup:
	@scripts/setup

build: setup
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer. -O1 -g1: what
# the sanitizers are meant for, a third of the compile time of -O2 -g, line numbers kept.
SANITIZE_FLAGS ?= -O1 -g1 -DNDEBUG
# Left out there: the browser's rendering and Snakemake's scheduling run none of our code that the
# suite does not run under the sanitizers elsewhere (the report's writer, the bids command).
SANITIZE_SKIP ?= -E '^(ReportBrowser\.|CleanStudy\.snakefile)'

test-sanitize: setup
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARPMENDER_SANITIZE=ON \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(SANITIZE_FLAGS)" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) $(SANITIZE_SKIP)

# The unit and plug-in test executables alone under the sanitizers, the two side by side: what CI runs
# after make test, within its time. make test-sanitize runs the command's process tests under them too.
test-sanitize-units: setup
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWARPMENDER_SANITIZE=ON \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(SANITIZE_FLAGS)" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(SANITIZE_FLAGS)" >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target warpmender_unit_tests warpmender_plugin_tests
	@cd $(ASAN_BUILD)/tests && export ASAN_OPTIONS=detect_leaks=1 && \
	  { ./warpmender_unit_tests --gtest_brief=1 & u=$$!; ./warpmender_plugin_tests --gtest_brief=1; p=$$?; wait $$u && exit $$p; }

demo: build
	@$(BUILD)/warpmender demo --out demo-output --quiet

# docs/report.png, the README's picture of a run's report: the demo's own report (demo-output/**/*_report.html)
# when the demo writes one; until then the page the browser test writes from its simulated run.
screenshot: demo
	@set -e; page=$$(find demo-output -name '*_report.html' | sort | head -n 1); \
	if [ -z "$$page" ]; then \
	  echo "make screenshot: the demo wrote no report; using the browser test's report of a simulated run"; \
	  ctest --test-dir $(BUILD) -R '^ReportBrowser.report_loads_' --no-tests=error --output-on-failure >/dev/null; \
	  page=$(BUILD)/tests/report_browser/sub-01_task-rest_report.html; \
	fi; \
	mkdir -p docs; scripts/report-screenshot "$$page" docs/report.png

bench:
	@bench/run

fuzz:
	@scripts/fuzz

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-bench build-fuzz
