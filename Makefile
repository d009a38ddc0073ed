# One command for everything: `make test` installs what is missing, builds the
# three targets and runs every suite (natively, with sanitizers, under Wine).
BUILD     ?= build
JOBS      ?= $(shell nproc)
TYPE      ?= RelWithDebInfo
ROOT      := $(CURDIR)
WINEPREFIX_DIR := $(ROOT)/$(BUILD)/wineprefix
WINE_ENV  := WINEPREFIX=$(WINEPREFIX_DIR) WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
COMMA     := ,
# A case that fails is run once more before it counts: the timing cases share
# two cores with everything else and a stall of a few hundred ms can happen.
CTEST     := ctest --output-on-failure -j $(JOBS) --repeat until-pass:2

.PHONY: install fuzz tsan test-tsan package test-packages demo bench all deps native asan win32 win64 test test-native test-asan test-windows wineprefix clean

all: native

deps:
	@bash scripts/install-deps.sh || { [ "$$CI" != true ] || { echo "CI: build dependencies missing" >&2; exit 1; }; }

define configure_and_build
	cmake -S . -B $(BUILD)/$(1) -DCMAKE_BUILD_TYPE=$(TYPE) -DWSR37100_WINEPREFIX=$(WINEPREFIX_DIR) $(2)
	cmake --build $(BUILD)/$(1) -j $(JOBS)
endef

native:
	$(call configure_and_build,native,)

asan:
	$(call configure_and_build,asan,-DWSR37100_SANITIZE=address$(COMMA)undefined)

tsan:
	$(call configure_and_build,tsan,-DWSR37100_SANITIZE=thread)

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
	cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DWSR37100_FUZZ=ON -DWSR37100_TESTS=OFF
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@end=$$(( $$(date +%s) + $(FUZZ_SECONDS) )); left=$(words $(FUZZ_TARGETS)); \
	for target in $(FUZZ_TARGETS); do \
	  share=$$(( (end - $$(date +%s)) / left - 1 )); left=$$((left - 1)); [ $$share -ge 1 ] || share=1; \
	  dict=; [ ! -f tests/fuzz/$$target.dict ] || dict=-dict=tests/fuzz/$$target.dict; \
	  mkdir -p $(BUILD)/fuzz/corpus/$$target $(BUILD)/fuzz/findings/$$target; \
	  echo "== $$target: $$share s"; \
	  $(BUILD)/fuzz/bin/$${target}_fuzz -max_total_time=$$share -print_final_stats=1 $$dict \
	    $$(cat tests/fuzz/$$target.options) -artifact_prefix=$(BUILD)/fuzz/findings/$$target/ \
	    $(BUILD)/fuzz/corpus/$$target tests/fuzz/corpus/$$target < /dev/null || exit 1; \
	done

win32:
	$(call configure_and_build,win32,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DWSR37100_NATIVE_BUILD=$(ROOT)/$(BUILD)/native)

win64:
	$(call configure_and_build,win64,-DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86_64.cmake -DWSR37100_NATIVE_BUILD=$(ROOT)/$(BUILD)/native -DWSR37100_WIN32_BUILD=$(ROOT)/$(BUILD)/win32)

# Creating a Wine prefix takes some seconds; done once, before any test runs in it.
wineprefix:
	@if [ ! -f $(WINEPREFIX_DIR)/system.reg ]; then \
	  echo "Creating the Wine prefix $(WINEPREFIX_DIR)"; \
	  $(WINE_ENV) wineboot -i && $(WINE_ENV) wineserver -w; \
	fi

test-native: native
	cd $(BUILD)/native && $(CTEST)

test-asan: asan
	cd $(BUILD)/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST)

test-tsan: tsan
	cd $(BUILD)/tsan && TSAN_OPTIONS=halt_on_error=1 $(CTEST)

# The Windows suites run under Wine; the serial ones are driven by a native
# program of the native build that plays the scale on a pseudo-terminal.
# Without the cross compilers or Wine the Windows suites are skipped with a
# warning on a developer's machine, and fail under CI.
test-windows:
	@if command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null \
	    && command -v wine >/dev/null; then \
	  $(MAKE) --no-print-directory native win32 win64 wineprefix && \
	  cd $(BUILD)/win32 && $(WINE_ENV) ctest --output-on-failure --repeat until-pass:2 && \
	  cd ../win64 && $(WINE_ENV) ctest --output-on-failure --repeat until-pass:2; \
	elif [ "$$CI" = true ]; then \
	  echo "CI: mingw-w64 or Wine is missing" >&2; exit 1; \
	else \
	  echo "warning: mingw-w64 or Wine missing, Windows suites skipped" >&2; \
	fi

test: deps
	$(MAKE) --no-print-directory test-native
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan
	$(MAKE) --no-print-directory fuzz
	$(MAKE) --no-print-directory test-windows
	$(MAKE) --no-print-directory test-packages

# Installs the native build (library, headers, CMake and pkg-config files, the
# tool) under PREFIX; DESTDIR stages it for a package.
PREFIX    ?= /usr/local
install: native
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)/native --prefix $(PREFIX)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && command -v ldconfig >/dev/null; then ldconfig; fi

# Installs what is missing, builds, and weighs a simulated scale end to end.
demo: deps native
	$(BUILD)/native/bin/wsr37100 demo

# The .deb (library, headers, tool) and the Windows .zip (both DLLs).
package: native win32 win64
	mkdir -p $(BUILD)/packages
	cd $(BUILD)/native && cpack -B $(ROOT)/$(BUILD)/packages
	cd $(BUILD)/win64 && cpack -B $(ROOT)/$(BUILD)/packages

test-packages: package
	rm -rf $(BUILD)/staged
	$(MAKE) --no-print-directory install PREFIX=/usr DESTDIR=$(ROOT)/$(BUILD)/staged
	bash scripts/check-packages.sh $(BUILD)/packages $(BUILD)/staged

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
	cd tests/service && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 \
	  WSR37100_LIBRARY=$(ROOT)/$(BUILD)/native/lib/libwsr37100.so.6 python3 -W ignore bench_service.py

# What the service and the network link hold under hostile peers (docs/RELIABILITY.md).
.PHONY: bench-hostile
bench-hostile: native
	cd tests/service && WSR37100_TOOL=$(ROOT)/$(BUILD)/native/bin/wsr37100 python3 -W ignore bench_hostile.py

# The suite's sensitivity to small mistakes (docs/RELIABILITY.md): each mutant in scripts/mutants.py
# applied in turn, the native build rebuilt and the cases that concern it run; not part of `make test`.
.PHONY: mutants
mutants: native
	python3 scripts/mutants.py --build $(BUILD)/native
