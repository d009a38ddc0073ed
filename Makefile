# One command for everything: `make test` installs what is missing, builds the
# three targets and runs every suite (natively, with sanitizers, under Wine).
BUILD     ?= build
JOBS      ?= $(shell nproc)
TYPE      ?= RelWithDebInfo
ROOT      := $(CURDIR)
WINEPREFIX_DIR := $(ROOT)/$(BUILD)/wineprefix
WINE_ENV  := WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
COMMA     := ,
# No case is run twice: a failure counts. The timing cases wait for events and
# keep their time limits as generous guards, so they hold on a loaded machine
# (make test-stress proves it).
CTEST     := ctest --output-on-failure -j $(JOBS)
# The native cases mostly wait on their scales' time-outs, so they run four at
# once (what each stress round holds them to beside two CPU hogs); the
# sanitizers' cases, which spend CPU, two.
CTEST_NATIVE := ctest --output-on-failure -j $(shell echo $$(( $(JOBS) * 2 )))
# The builds whose programs only the suites run (sanitizers, Windows) keep line
# tables rather than full debug information: a stack trace still names the
# line, and Boost.Beast's templates compile in about half the time. The
# packages are stripped either way.
LEAN      := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
SANITIZED := -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
# Every build compiles through ccache where it is installed. Paths are taken relative to the
# checkout, so a fresh clone in another folder (CI's) finds what an earlier one compiled.
LAUNCHER  := $(if $(shell command -v ccache 2>/dev/null),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR := $(ROOT)
export CCACHE_NOHASHDIR := true
# Each phase's seconds, for the table `make test` and CI print at the end (scripts/phase.sh).
PHASES    := $(ROOT)/$(BUILD)/phases.tsv
PHASE     := bash $(ROOT)/scripts/phase.sh $(PHASES)
PHASE_TABLE := bash $(ROOT)/scripts/phase.sh --table $(PHASES) $(addprefix $(ROOT)/$(BUILD)/,native asan tsan win32 win64)

.PHONY: install uninstall fuzz tsan test-tsan package test-packages demo bench all deps native asan win32 win64 test test-native test-asan test-windows wineprefix clean check test-stress

all: native

deps:
	@$(PHASE) deps bash scripts/install-deps.sh || { [ "$$CI" != true ] || { echo "CI: build dependencies missing" >&2; exit 1; }; }

define configure_and_build
	$(PHASE) "build $(1)" cmake -S . -B $(BUILD)/$(1) -DCMAKE_BUILD_TYPE=$(TYPE) -DWSR37100_WINEPREFIX=$(WINEPREFIX_DIR) $(LAUNCHER) $(2)
	$(PHASE) "build $(1)" cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

native:
	$(call configure_and_build,native,)

asan:
	$(call configure_and_build,asan,-DWSR37100_SANITIZE=address$(COMMA)undefined $(SANITIZED))

tsan:
	$(call configure_and_build,tsan,-DWSR37100_SANITIZE=thread $(SANITIZED))

# Every fuzz target under libFuzzer, one after the other, FUZZ_SECONDS in all
# (`make fuzz FUZZ_SECONDS=600` for a long run): each gets its share of what is
# left, less the second libFuzzer takes to stop. Each starts from its seed
# corpus, with its dictionary and options (tests/fuzz/TARGET.dict, TARGET.options). What a
# run adds to a corpus stays in $(BUILD)/fuzz/corpus/TARGET; a failing input is
# written to $(BUILD)/fuzz/findings/TARGET/ and, once fixed, belongs in
# tests/fuzz/regressions/TARGET/, which the native tests replay.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := decoders telnet port_names service_config query
fuzz: deps
	$(PHASE) "build fuzz" cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DWSR37100_FUZZ=ON -DWSR37100_TESTS=OFF $(LAUNCHER)
	$(PHASE) "build fuzz" cmake --build $(BUILD)/fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@end=$$(( $$(date +%s) + $(FUZZ_SECONDS) )); left=$(words $(FUZZ_TARGETS)); \
	for target in $(FUZZ_TARGETS); do \
	  share=$$(( (end - $$(date +%s)) / left - 1 )); left=$$((left - 1)); [ $$share -ge 1 ] || share=1; \
	  dict=; [ ! -f tests/fuzz/$$target.dict ] || dict=-dict=tests/fuzz/$$target.dict; \
	  mkdir -p $(BUILD)/fuzz/corpus/$$target $(BUILD)/fuzz/findings/$$target; \
	  echo "== $$target: $$share s"; \
	  $(BUILD)/fuzz/bin/$${target}_fuzz -max_total_time=$$share -print_final_stats=1 $$dict \
	    $$(cat tests/fuzz/$$target.options) -artifact_prefix=$(BUILD)/fuzz/findings/$$target/ \
	    $(BUILD)/fuzz/corpus/$$target tests/fuzz/corpus/$$target < /dev/null || exit 1; \
	done; \
	printf 'fuzz run\t%s\t0\n' $$(( $$(date +%s) - end + $(FUZZ_SECONDS) )) >> $(PHASES)

win32:
	$(call configure_and_build,win32,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DWSR37100_NATIVE_BUILD=$(ROOT)/$(BUILD)/native $(LEAN))

win64:
	$(call configure_and_build,win64,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86_64.cmake -DWSR37100_NATIVE_BUILD=$(ROOT)/$(BUILD)/native -DWSR37100_WIN32_BUILD=$(ROOT)/$(BUILD)/win32 $(LEAN))

# Creating a Wine prefix takes some seconds; done once, before any test runs in it.
wineprefix:
	@if [ ! -f $(WINEPREFIX_DIR)/system.reg ]; then \
	  echo "Creating the Wine prefix $(WINEPREFIX_DIR)"; \
	  $(WINE_ENV) wineboot -i && $(WINE_ENV) wineserver -w; \
	fi

test-native: native
	cd $(BUILD)/native && $(PHASE) "suite native" $(CTEST_NATIVE)

test-asan: asan
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(PHASE) "suite asan" $(CTEST)

test-tsan: tsan
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 $(PHASE) "suite tsan" $(CTEST)

# The Windows suites run under Wine, each in a Wine session of its own (one a
# suite left running, its services included, would answer the next suite's
# service requests), started once before the suite's first case and kept until
# its last (WINE_SESSION): a case then starts in a tenth of a second, not in
# three. The serial ones are driven by a native
# program of the native build that plays the scale on a pseudo-terminal.
# Without the cross compilers or Wine the Windows suites are skipped with a
# warning on a developer's machine, and fail under CI.
WINE_SESSION := wineserver -p && wine cmd /c exit 2>/dev/null; trap "wineserver -k 2>/dev/null" EXIT;
test-windows: native
	@if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null \
	    && command -v wine >/dev/null; then \
	  $(MAKE) --no-print-directory win32 win64 wineprefix && \
	  { $(WINE_ENV) wineserver -k 2>/dev/null || true; } && \
	  cd $(BUILD)/win32 && $(WINE_ENV) $(PHASE) "suite win32 (Wine)" sh -c '$(WINE_SESSION) ctest --output-on-failure' && \
	  { $(WINE_ENV) wineserver -k 2>/dev/null || true; } && \
	  cd ../win64 && $(WINE_ENV) $(PHASE) "suite win64 (Wine)" sh -c '$(WINE_SESSION) ctest --output-on-failure'; \
	elif [ "$$CI" = true ]; then \
	  echo "CI: mingw-w64 or Wine is missing" >&2; exit 1; \
	else \
	  echo "warning: mingw-w64 or Wine missing, Windows suites skipped" >&2; \
	fi

# The quick loop after a change: the native build and its suite alone.
check: native
	cd $(BUILD)/native && $(CTEST)

# The native and ThreadSanitizer suites, four cases at once while two CPU hogs
# load both cores, three times in a row: a timing case that only holds on a
# quiet machine fails here.
STRESS_ROUNDS ?= 3
test-stress: deps native tsan
	@for round in $$(seq $(STRESS_ROUNDS)); do \
	  for build in native tsan; do \
	    echo "== stress round $$round: $$build, ctest -j4 beside 2 CPU hogs"; \
	    stress-ng --cpu 2 --timeout 900s --quiet & hogs=$$!; \
	    (cd $(BUILD)/$$build && TSAN_OPTIONS=halt_on_error=1 $(PHASE) "stress round $$round: $$build" ctest --output-on-failure -j4); \
	    status=$$?; \
	    kill $$hogs 2>/dev/null; wait $$hogs 2>/dev/null; \
	    [ $$status -eq 0 ] || exit $$status; \
	  done; \
	done

# Once the native build is there (the Windows builds need its scale driver), the
# other builds and the suites run two at a time: a suite mostly waits on its
# scales' time-outs, so the next build has the cores meanwhile. Each suite's
# output comes out whole when it ends. The Windows suites run after, alone: Wine
# starting a service is slow enough on a loaded machine to make its time-outs.
SUITES := test-native test-asan test-tsan fuzz windows-builds
test:
	@mkdir -p $(BUILD) && rm -f $(PHASES)
	$(MAKE) --no-print-directory deps
	$(MAKE) --no-print-directory native
	$(MAKE) --no-print-directory -j2 --output-sync=target $(SUITES)
	$(MAKE) --no-print-directory test-windows
	$(MAKE) --no-print-directory test-packages PACKAGED=$(BUILD)
	@$(PHASE_TABLE)

# The table of phases (and the slowest cases) of the last `make test` and `make test-stress`.
.PHONY: phases
phases:
	@$(PHASE_TABLE)

.PHONY: windows-builds
windows-builds: native
	@if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then \
	  $(MAKE) --no-print-directory win32 win64; \
	fi

# Installs the native build (library, headers, CMake and pkg-config files, the
# tool, the service's unit) under PREFIX; DESTDIR stages it for a package.
# `make uninstall` with the same PREFIX and DESTDIR removes what that install
# put there, and the folders it created once they are empty; nothing else.
PREFIX    ?= /usr/local
INSTALLED  = $(BUILD)/native/installed/$(or $(subst /,_,$(DESTDIR)$(PREFIX)),_).txt
install: native
	bash scripts/installed.sh install $(BUILD)/native "$(PREFIX)" "$(DESTDIR)" "$(INSTALLED)"
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && command -v ldconfig >/dev/null; then ldconfig; fi

uninstall:
	bash scripts/installed.sh uninstall "$(INSTALLED)"
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && command -v ldconfig >/dev/null; then ldconfig; fi

# Installs what is missing, builds, and weighs a simulated scale end to end.
demo: deps native
	$(BUILD)/native/bin/wsr37100 demo

# The .deb (library, headers, tool), the Windows .zip (both DLLs), the installer for 64-bit
# Windows (wixl; without it the .msi is left out with a warning, and CI fails) and the JavaScript
# client's npm package (npm pack; likewise without npm). The npm package is built first: its build
# writes the client as one ES module (clients/js/dist), which the other three ship too.
# Built in folders of their own without the tests (WSR37100_TESTS=OFF): only what the packages
# ship, about a third of the time the suites' builds take. The packages are stripped, so no
# debug information is compiled for them.
VERSION   := $(shell sed -n 's/^project.wsr37100 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
MSI       := $(BUILD)/packages/wsr37100-$(VERSION)-windows-x64.msi
PACKAGED  := $(BUILD)/package
SHIPPED   := -DWSR37100_TESTS=OFF -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG"
define package_build
	$(PHASE) "package build $(1)" cmake -S . -B $(PACKAGED)/$(1) -DCMAKE_BUILD_TYPE=$(TYPE) $(LAUNCHER) $(SHIPPED) $(2)
	$(PHASE) "package build $(1)" cmake --build $(PACKAGED)/$(1) -j $(JOBS)
endef
# `make test` packs the builds its suites have just passed (PACKAGED=$(BUILD)): the same code at the
# same optimization, stripped as it is packed, with no build of its own.
.PHONY: package-builds
package-builds:
	$(call package_build,native,)
	$(call package_build,win32,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake)
	$(call package_build,win64,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86_64.cmake -DWSR37100_WIN32_BUILD=$(ROOT)/$(PACKAGED)/win32)
package: $(if $(filter $(BUILD),$(PACKAGED)),,package-builds)
	rm -rf $(BUILD)/packages
	mkdir -p $(BUILD)/packages
	@if command -v npm >/dev/null; then \
	  echo "npm pack clients/js"; \
	  cd clients/js && npm ci --no-audit --no-fund && npm pack --pack-destination $(ROOT)/$(BUILD)/packages; \
	elif [ "$$CI" = true ]; then \
	  echo "CI: npm is missing" >&2; exit 1; \
	else \
	  echo "warning: npm missing, no JavaScript client package" >&2; \
	fi
	cd $(PACKAGED)/native && $(PHASE) "pack native" cpack -B $(ROOT)/$(BUILD)/packages
	cd $(PACKAGED)/win64 && $(PHASE) "pack win32 + win64" cpack -B $(ROOT)/$(BUILD)/packages
	@if command -v wixl >/dev/null && command -v msibuild >/dev/null; then \
	  echo "bash scripts/build-msi.sh $(MSI) $(VERSION) $(PACKAGED)/win64 $(PACKAGED)/win32"; \
	  bash scripts/build-msi.sh $(MSI) $(VERSION) $(PACKAGED)/win64 $(PACKAGED)/win32; \
	elif [ "$$CI" = true ]; then \
	  echo "CI: wixl or msitools is missing" >&2; exit 1; \
	else \
	  echo "warning: wixl or msitools missing, no .msi" >&2; \
	fi

# The packages' contents, then make install (default prefix) staged beside a user's configuration
# and make uninstall, which must leave that configuration and nothing else.
test-packages: package
	rm -rf $(BUILD)/staged
	mkdir -p $(BUILD)/staged/etc/wsr37100 && echo '{"scales": {}}' > $(BUILD)/staged/etc/wsr37100/serve.json
	$(MAKE) --no-print-directory install DESTDIR=$(ROOT)/$(BUILD)/staged
	$(PHASE) "packages checked" bash scripts/check-packages.sh $(BUILD)/packages $(BUILD)/staged
	$(MAKE) --no-print-directory uninstall DESTDIR=$(ROOT)/$(BUILD)/staged > /dev/null
	bash scripts/check-packages.sh --uninstalled $(BUILD)/staged
	$(MAKE) --no-print-directory test-msi

# The installer under Wine, in a prefix of its own: install with the service, upgrade, uninstall.
MSI_ENV := WINEPREFIX=$(ROOT)/$(BUILD)/msi-wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= \
  WSR37100_MSI=$(ROOT)/$(MSI) WSR37100_VERSION=$(VERSION) WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 \
  WSR37100_WIN64_BUILD=$(ROOT)/$(PACKAGED)/win64 WSR37100_WIN32_BUILD=$(ROOT)/$(PACKAGED)/win32
.PHONY: test-msi
test-msi:
	@if command -v wine >/dev/null && [ -f $(MSI) ]; then \
	  cd tests/packaging && $(MSI_ENV) $(PHASE) "installer under Wine" python3 -W ignore -m unittest -v test_msi; \
	elif [ "$$CI" = true ]; then \
	  echo "CI: Wine or the .msi is missing" >&2; exit 1; \
	else \
	  echo "warning: Wine or the .msi missing, the installer's test skipped" >&2; \
	fi

# Release build of the benchmarks; prints the medians.
bench: deps
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DWSR37100_BENCH=ON -DWSR37100_TESTS=OFF
	cmake --build $(BUILD)/bench -j $(JOBS) --target weighing_bench
	$(BUILD)/bench/bin/weighing_bench

clean:
	rm -rf $(BUILD)

# The weighing service's figures (docs/PERFORMANCE.md): one reading, 50 concurrent clients, 100 event streams.
.PHONY: bench-service
bench-service: native
	cd bench && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 \
	  WSR37100_LIBRARY=$(ROOT)/$(BUILD)/native/lib/libwsr37100.so.6 python3 -W ignore bench_service.py

# What the service and the network link hold under hostile peers (docs/RELIABILITY.md).
.PHONY: bench-hostile
bench-hostile: native
	cd bench && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 python3 -W ignore bench_hostile.py

# A point of sale beside hostile local programs for an hour (docs/RELIABILITY.md); SOAK_MINUTES=10 for less.
.PHONY: bench-soak
bench-soak: native
	cd bench && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 python3 -W ignore soak.py

# `detect` over four simulated scales beside CPU hogs, 20 runs (docs/PERFORMANCE.md): slower on a busy machine, never wrong.
.PHONY: bench-detect
bench-detect: native
	cd bench && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 python3 -W ignore bench_detect.py

# The suite's sensitivity to small mistakes (docs/RELIABILITY.md): each mutant in scripts/mutants.py
# applied in turn, the native build rebuilt and the cases that concern it run; not part of `make test`.
.PHONY: mutants
mutants: native
	python3 scripts/mutants.py --build $(BUILD)/native
