# Tamsor's everyday commands. Every target installs what it needs first, so
# each works on a fresh Debian 12 machine (as root, or with sudo).
#
#   make run      build for Linux and serve the demo install disc (Ctrl-C stops)
#   make test     build and test for Linux (sanitizers on), then for Windows
#                 (mingw-w64) with the tests run under wine, then the
#                 installer as `make package` builds and tests it
#   make package  build the Windows installer (release) and test it under wine
#   make linux    build build/linux only
#   make win64    build build/win64 only
#   make install the desktop wizard, its menu entry, icons and catalogs under
#                 PREFIX (default /usr/local); `make uninstall` removes them
#   make bench    build build/bench (Release) and run the benchmarks
#   make oci      build the container image tamsor:VERSION and tamsor:latest
#                 (buildah, no registry); `make oci-save` writes it to a file
#   make clean    remove the build folders (keeps build/deps, the cache of
#                 third-party libraries for Windows; `make distclean` too)
#
# BUILD=DIR puts all build folders under DIR instead of build/.

SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
.NOTPARALLEL:
.DEFAULT_GOAL := linux
MAKEFLAGS += --no-print-directory

JOBS      ?= 2
ROOT      := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
BUILD     ?= $(ROOT)/build
LINUX_DIR := $(abspath $(BUILD))/linux
WIN_DIR   := $(abspath $(BUILD))/win64
BENCH_DIR := $(abspath $(BUILD))/bench
DEPS_DIR  := $(abspath $(BUILD))/deps
WIN_DEPS  := $(DEPS_DIR)/win64
TOOLCHAIN := $(ROOT)/cmake/mingw-w64-x86_64.cmake
WINE_RUN  := $(ROOT)/cmake/wine-run.sh

CMAKE_QUIET := -G Ninja --log-level=WARNING -Wno-dev
# Test programs under wine run slowly; tests/CMakeLists.txt gives each its
# own time-out, and this one is for any test that sets none.
WIN_TEST_TIMEOUT := 1200

# Prints one line per stage with the seconds it took ($$SECONDS counts from
# the start of each recipe line's shell).
say  = echo "==> $(1)"
took = echo "==> $(1): $$SECONDS s"

.PHONY: all run test test-linux test-win64 linux win64 win-deps deps bench clean distclean

all: linux

# ---------------------------------------------------------------------------
deps:
ifndef TAMSOR_DEPS_DONE
	@$(call say,installing packages (scripts/install-deps.sh)); \
	"$(ROOT)/scripts/install-deps.sh"; \
	$(call took,packages)
endif

linux: deps
	@$(call say,configuring and building $(LINUX_DIR) (Debug with sanitizers)); \
	cmake -S "$(ROOT)" -B "$(LINUX_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_BUILD_TYPE=Debug -DTAMSOR_SANITIZE=ON; \
	cmake --build "$(LINUX_DIR)" -j $(JOBS); \
	$(call took,linux build)

test-linux: linux
	@$(call say,testing $(LINUX_DIR)); \
	status=0; \
	ctest --test-dir "$(LINUX_DIR)" --output-on-failure --no-tests=error -j $(JOBS) || status=$$?; \
	$(call took,linux tests); \
	exit $$status

win-deps: deps
	@$(call say,third-party libraries for Windows (scripts/build-win-deps.sh)); \
	TAMSOR_DEPS_DIR="$(DEPS_DIR)" "$(ROOT)/scripts/build-win-deps.sh"; \
	$(call took,windows libraries)

win64: win-deps
	@$(call say,configuring and building $(WIN_DIR) (mingw-w64, static)); \
	cmake -S "$(ROOT)" -B "$(WIN_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_TOOLCHAIN_FILE="$(TOOLCHAIN)" -DCMAKE_PREFIX_PATH="$(WIN_DEPS)" \
	  -DCMAKE_BUILD_TYPE=Debug -DBUILD_SHARED_LIBS=OFF; \
	cmake --build "$(WIN_DIR)" -j $(JOBS); \
	$(call took,windows build)

# The wine prefix is created once, before ctest starts programs side by side;
# a virtual X display (for windows, even hidden ones) and the wine server then
# stay up between programs, and are stopped at the end whatever happens.
# A failure fails. The one retry is for a program that never ran because
# wine itself did not start: its output has wine's loader or server saying
# so ("wine: could not ...", "wine client error", "wineserver: ...") and none
# of the start lines that our programs print as they run (GoogleTest's
# "[==========] Running", "tamsor-test: started"; cmake/wine-ctest.sh). A test that passed
# only on that retry is listed, with its first failure's last lines, in
# $(WIN_DIR)/Testing/passed-on-retry.txt, and `make test` ends by naming it.
test-win64: win64
	@$(call say,starting wine and Xvfb (prefix $(WIN_DIR)/wineprefix)); \
	rm -f "$(WIN_DIR)/Testing/passed-on-retry.txt"; \
	trap '"$(WINE_RUN)" --stop "$(WIN_DIR)"' EXIT; \
	"$(WINE_RUN)" --init "$(WIN_DIR)"; \
	$(call took,wine start-up); \
	$(call say,testing $(WIN_DIR) under wine); \
	SECONDS=0; \
	status=0; \
	"$(ROOT)/cmake/wine-ctest.sh" "$(WIN_DIR)" --no-tests=error -j $(JOBS) \
	  --timeout $(WIN_TEST_TIMEOUT) || status=$$?; \
	$(call took,windows tests); \
	exit $$status

# Pictures of every page of the wizard and of its dialogs, for a person to
# look at: the desktop wizard's in English and two other languages (by its
# accessibility test's scenario, in $(LINUX_DIR)/screenshots/<language>),
# then the Windows wizard's under wine (by its GUI test's scenario).
SCREENSHOT_LANGUAGES ?= en de ja
.PHONY: screenshots screenshots-linux
screenshots: screenshots-linux win64
	@$(call say,screenshots of the wizard into $(WIN_DIR)/screenshots); \
	trap '"$(WINE_RUN)" --stop "$(WIN_DIR)"' EXIT; \
	"$(WINE_RUN)" --init "$(WIN_DIR)"; \
	/usr/bin/python3 "$(ROOT)/tests/assistant/win32/wizard_gui_test.py" \
	  --wizard "$(WIN_DIR)/assistant/win32/Tamsor.exe" \
	  --driver "$(WIN_DIR)/tests/assistant/win32/kest-driver.exe" \
	  --mkimage "$(LINUX_DIR)/tools/hfswriter/tamsor-mkimage" \
	  --disc-tool "$(LINUX_DIR)/tools/tamsor-disc" \
	  --wine-run "$(WINE_RUN)" --build "$(WIN_DIR)" \
	  --screenshots "$(WIN_DIR)/screenshots"; \
	$(call took,screenshots)

# Besides each language in the light style: English in the dark style
# (en-dark) and on a screen at scale 2 (en-scale2).
screenshots-linux: linux
	@for run in $(SCREENSHOT_LANGUAGES) en-dark en-scale2; do \
	  $(call say,screenshots of the desktop wizard ($$run) into $(LINUX_DIR)/screenshots/$$run); \
	  case $$run in \
	    en) option="" ;; \
	    en-dark) option="--dark" ;; \
	    en-scale2) option="--scale 2" ;; \
	    *) option="--language $$run" ;; \
	  esac; \
	  "$(ROOT)/tests/assistant/gtk/atspi-session.sh" --display :73 --screen 1600x1200 --timeout 600 -- \
	    /usr/bin/python3 "$(ROOT)/tests/assistant/gtk/wizard_atspi_test.py" \
	      --wizard "$(LINUX_DIR)/assistant/gtk/tamsor-wizard" \
	      --mkimage "$(LINUX_DIR)/tools/hfswriter/tamsor-mkimage" \
	      --disc-tool "$(LINUX_DIR)/tools/tamsor-disc" \
	      --screenshots "$(LINUX_DIR)/screenshots/$$run" $$option; \
	done

# The installer, built from a release configuration of its own in
# $(WIN_RELEASE_DIR) (RelWithDebInfo: optimised, static), beside the Debug
# tree of `make test`: Tamsor.msi (wixl) with Tamsor.exe and its Start menu
# shortcut, a cabinet holding it (gcab), and ZULSetupAdmin.exe with the
# cabinet and the product code embedded, all in $(WIN_RELEASE_DIR)/setupadmin.
# What ships is stripped; its debug information stays beside it
# (package/Tamsor.exe.debug, ZULSetupAdmin.exe.debug). Then the installer's
# scenarios run under wine against this package, in the release tree's own
# wine prefix; PACKAGE_TESTS=no leaves them out.
WIN_RELEASE_DIR := $(abspath $(BUILD))/win64-release
PACKAGE_TESTS ?= yes
.PHONY: package
package: win-deps
	@$(call say,building the installer in $(WIN_RELEASE_DIR)/setupadmin (release)); \
	cmake -S "$(ROOT)" -B "$(WIN_RELEASE_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_TOOLCHAIN_FILE="$(TOOLCHAIN)" -DCMAKE_PREFIX_PATH="$(WIN_DEPS)" \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=OFF; \
	cmake --build "$(WIN_RELEASE_DIR)" -j $(JOBS) --target ZULSetupAdmin; \
	cd "$(WIN_RELEASE_DIR)/setupadmin"; \
	ls -l ZULSetupAdmin.exe ZULSetupAdmin.exe.debug package/Tamsor.msi package/Tamsor.cab \
	  package/Tamsor.exe.debug; \
	$(call took,installer); \
	if [ "$(PACKAGE_TESTS)" = no ]; then exit 0; fi; \
	SECONDS=0; \
	$(call say,testing the installer under wine (prefix $(WIN_RELEASE_DIR)/wineprefix)); \
	cmake --build "$(WIN_RELEASE_DIR)" -j $(JOBS) --target setupadmin_wine_tests; \
	trap '"$(WINE_RUN)" --stop "$(WIN_RELEASE_DIR)"' EXIT; \
	"$(WINE_RUN)" --init "$(WIN_RELEASE_DIR)"; \
	ctest --test-dir "$(WIN_RELEASE_DIR)" --output-on-failure --no-tests=error \
	  -R '^setupadmin_wine_tests$$'; \
	$(call took,installer tests)

# Fuzzing: builds $(BUILD)/fuzz with clang (libFuzzer, ASan, UBSan) and runs
# every target of tests/fuzz for FUZZ_SECONDS each (FUZZ_TARGETS picks some).
# New inputs collect in $(BUILD)/fuzz/corpus/<target>; the seeds in the
# repository are only read. A crash leaves its input in $(BUILD)/fuzz/crashes
# and fails the run. `make test` replays the seeds without clang.
FUZZ_DIR     := $(abspath $(BUILD))/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= http propertylist build format bsdp tftp discimage dmg
.PHONY: fuzz
fuzz: deps
	@$(call say,configuring and building $(FUZZ_DIR) (clang-14, libFuzzer)); \
	CC=clang-14 CXX=clang++-14 cmake -S "$(ROOT)" -B "$(FUZZ_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSOR_SANITIZE=ON -DTAMSOR_FUZZ=ON \
	  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link; \
	cmake --build "$(FUZZ_DIR)" -j $(JOBS) --target fuzz-all; \
	$(call took,fuzz build); \
	failed=0; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p "$(FUZZ_DIR)/corpus/$$t" "$(FUZZ_DIR)/crashes"; \
	  echo "==> fuzz-$$t for $(FUZZ_SECONDS) s"; \
	  if (cd "$(FUZZ_DIR)" && "$(FUZZ_DIR)/tests/fuzz/fuzz-$$t" -max_total_time=$(FUZZ_SECONDS) \
	        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	        -artifact_prefix="$(FUZZ_DIR)/crashes/$$t-" \
	        "$(FUZZ_DIR)/corpus/$$t" "$(ROOT)/tests/fuzz/corpus/$$t") \
	        >"$(FUZZ_DIR)/$$t.log" 2>&1; then \
	    grep -E '^#[0-9]+.*(DONE|pulse|NEW)' "$(FUZZ_DIR)/$$t.log" | tail -n 1; \
	    grep -E '^stat::(number_of_executed_units|new_units_added)' "$(FUZZ_DIR)/$$t.log" || true; \
	  else \
	    echo "==> fuzz-$$t FAILED; see $(FUZZ_DIR)/$$t.log"; tail -n 30 "$(FUZZ_DIR)/$$t.log"; \
	    failed=1; \
	  fi; \
	done; \
	exit $$failed

# Both platforms and the installer are tested even when one fails, so one
# run shows everything that is broken; the exit status is non-zero if
# anything failed.
test: deps
	@summary=(); failed=0; \
	for stage in test-linux test-win64 package; do \
	  SECONDS=0; \
	  if $(MAKE) $$stage TAMSOR_DEPS_DONE=1; then result=passed; else result=FAILED; failed=1; fi; \
	  summary+=("$$stage: $$result ($$SECONDS s)"); \
	done; \
	echo "==> summary"; printf '    %s\n' "$${summary[@]}"; \
	retried="$(WIN_DIR)/Testing/passed-on-retry.txt"; \
	if [ ! -f "$$retried" ]; then \
	  echo "==> passed only on a retry: not known (the Windows tests did not run to the end)"; \
	elif [ "$$(cat "$$retried")" = none ]; then \
	  echo "==> passed only on a retry: none"; \
	else \
	  sed 's/^/    /' "$$retried"; \
	  echo "==> passed only on a retry: $$(grep -v '^ ' "$$retried" | sed 's/, first failure:$$//' | paste -sd ' ')"; \
	fi; \
	exit $$failed

# ---------------------------------------------------------------------------
# The demo install disc that the build makes, served. With a display (X11 or
# Wayland) the desktop wizard opens on it; without one tamsor-serve prints
# its ports and serves until Ctrl-C. SERVE_ARGS replaces the disc (an image
# file or a drive) and, for tamsor-serve, adds options, for example
#   make run SERVE_ARGS="--bsdp-port 7800 /path/to/disc.img"
# RUN=serve uses tamsor-serve even where a display exists.
SERVE_ARGS ?= $(LINUX_DIR)/tools/demo-disc.img
RUN ?= $(if $(or $(DISPLAY),$(WAYLAND_DISPLAY)),wizard,serve)
run: deps
	@cmake -S "$(ROOT)" -B "$(LINUX_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_BUILD_TYPE=Debug -DTAMSOR_SANITIZE=ON; \
	if [ "$(RUN)" = wizard ]; then \
	  cmake --build "$(LINUX_DIR)" -j $(JOBS) --target tamsor-wizard demo-disc; \
	  echo "==> $(LINUX_DIR)/assistant/gtk/tamsor-wizard $(SERVE_ARGS)"; \
	  status=0; ASAN_OPTIONS=detect_leaks=0 "$(LINUX_DIR)/assistant/gtk/tamsor-wizard" \
	    $(SERVE_ARGS) || status=$$?; \
	else \
	  cmake --build "$(LINUX_DIR)" -j $(JOBS) --target tamsor-serve demo-disc; \
	  echo "==> $(LINUX_DIR)/tools/tamsor-serve $(SERVE_ARGS)"; \
	  status=0; "$(LINUX_DIR)/tools/tamsor-serve" $(SERVE_ARGS) || status=$$?; \
	fi; \
	if [ $$status -ne 0 ] && [ $$status -ne 130 ]; then exit $$status; fi

# The desktop wizard installed: a Release build of its own in $(BUILD)/install.
PREFIX      ?= /usr/local
INSTALL_DIR := $(abspath $(BUILD))/install
.PHONY: install uninstall
install: deps
	@$(call say,building the desktop wizard for $(PREFIX) in $(INSTALL_DIR)); \
	cmake -S "$(ROOT)" -B "$(INSTALL_DIR)" $(CMAKE_QUIET) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTAMSOR_TESTS=OFF -DCMAKE_INSTALL_PREFIX="$(PREFIX)"; \
	cmake --build "$(INSTALL_DIR)" -j $(JOBS) --target tamsor-wizard kest_gtk_catalogs; \
	cmake --install "$(INSTALL_DIR)"; \
	if command -v gtk4-update-icon-cache >/dev/null && [ -f "$(PREFIX)/share/icons/hicolor/index.theme" ]; then \
	  gtk4-update-icon-cache -q -t -f "$(PREFIX)/share/icons/hicolor" || true; \
	fi; \
	if command -v update-desktop-database >/dev/null; then \
	  update-desktop-database -q "$(PREFIX)/share/applications" || true; \
	fi; \
	$(call took,install)

uninstall:
	@if [ ! -f "$(INSTALL_DIR)/install_manifest.txt" ]; then \
	  echo "Nothing to uninstall: $(INSTALL_DIR)/install_manifest.txt is missing."; exit 0; \
	fi; \
	while IFS= read -r file; do rm -f -v "$$file"; done < "$(INSTALL_DIR)/install_manifest.txt"

bench: deps
	@if [ ! -f "$(ROOT)/bench/CMakeLists.txt" ]; then \
	  echo "No benchmarks yet (bench/CMakeLists.txt is missing); nothing to run."; \
	  exit 0; \
	fi; \
	$(call say,configuring and building $(BENCH_DIR) (Release)); \
	cmake -S "$(ROOT)" -B "$(BENCH_DIR)" $(CMAKE_QUIET) \
	  -DCMAKE_BUILD_TYPE=Release -DTAMSOR_BENCH=ON -DTAMSOR_TESTS=OFF; \
	cmake --build "$(BENCH_DIR)" -j $(JOBS); \
	programs=$$(find "$(BENCH_DIR)/bench" -name CMakeFiles -prune -o -type f -perm -u+x -print | sort); \
	if [ -z "$$programs" ]; then echo "No benchmark programs were built."; exit 0; fi; \
	failed=0; \
	for p in $$programs; do \
	  echo "==> $$p"; \
	  (cd "$$(dirname "$$p")" && "$$p") || { echo "==> $$p failed"; failed=1; }; \
	done; \
	exit $$failed

clean:
	rm -rf "$(LINUX_DIR)" "$(WIN_DIR)" "$(WIN_RELEASE_DIR)" "$(BENCH_DIR)" "$(INSTALL_DIR)"

distclean: clean
	rm -rf "$(DEPS_DIR)"

# ---------------------------------------------------------------------------
# make oci: the container image $(OCI_NAME):VERSION and $(OCI_NAME):latest in
# the machine's container storage (podman's and buildah's), made by
# tools/oci/build-image.sh from a Release build of tamsor-serve and
# tamsor-health in $(OCI_DIR): the two programs and exactly the libraries
# they load, from this machine's Debian packages. No base image and no
# registry; an image whose files and configuration are unchanged is kept as
# it is. `make oci-save` writes it to $(OCI_DIR)/$(OCI_NAME)-VERSION.tar for
# `podman load` or `docker load`. OCI_SOURCE sets the source label (default:
# the repository's origin, else its folder).
OCI_DIR     := $(abspath $(BUILD))/oci
OCI_NAME    ?= tamsor
OCI_VERSION := $(shell sed -n -E 's/^project.Tamsor VERSION ([0-9.]+).*/\1/p' "$(ROOT)/CMakeLists.txt")
OCI_SOURCE  ?= $(shell git -C "$(ROOT)" remote get-url origin 2>/dev/null || echo "file://$(ROOT)")
OCI_ARCHIVE := $(OCI_DIR)/$(OCI_NAME)-$(OCI_VERSION).tar

.PHONY: oci oci-save
oci: deps
	@$(call say,building the container image $(OCI_NAME):$(OCI_VERSION) from a Release build in $(OCI_DIR)); \
	cmake -S "$(ROOT)" -B "$(OCI_DIR)" $(CMAKE_QUIET) -DCMAKE_BUILD_TYPE=Release \
	  -DTAMSOR_TESTS=OFF -DTAMSOR_GTK=OFF; \
	cmake --build "$(OCI_DIR)" -j $(JOBS) --target tamsor-serve tamsor-health; \
	"$(ROOT)/tools/oci/build-image.sh" "$(OCI_DIR)" "$(OCI_VERSION)" "$(OCI_NAME)" "$(OCI_SOURCE)"; \
	$(call took,container image)

oci-save: oci
	@rm -f "$(OCI_ARCHIVE)"; \
	podman save --quiet --multi-image-archive --format docker-archive -o "$(OCI_ARCHIVE)" \
	  "localhost/$(OCI_NAME):$(OCI_VERSION)" "localhost/$(OCI_NAME):latest"; \
	ls -l "$(OCI_ARCHIVE)"

# ---------------------------------------------------------------------------
# make deb: the Debian packages tamsor (console) and tamsor-wizard (desktop),
# built from a clean copy of the sources (the repository's files, committed
# or not, without ignored ones) in $(BUILD)/deb, checked with lintian
# (pedantic tags included), then listed and validated as installed
# (tests/debian/check-packages.sh). The packages' build runs the Linux
# tests; DEB_BUILD_OPTIONS=nocheck skips them.
DEB_DIR := $(abspath $(BUILD))/deb

.PHONY: deb
deb: deps
	@$(call say,building the Debian packages in $(DEB_DIR)); \
	rm -rf "$(DEB_DIR)"; mkdir -p "$(DEB_DIR)/tamsor"; \
	cd "$(ROOT)" && git ls-files -z -c -o --exclude-standard | \
	  while IFS= read -r -d '' f; do [ -e "$$f" ] && printf '%s\0' "$$f"; done | \
	  tar --null -T - -cf - | tar -xf - -C "$(DEB_DIR)/tamsor"; \
	cd "$(DEB_DIR)/tamsor" && dpkg-buildpackage -us -uc -b; \
	lintian --pedantic --fail-on error,warning,info,pedantic "$(DEB_DIR)"/tamsor_*.changes; \
	shots=""; [ -d "$(LINUX_DIR)/screenshots" ] && shots="$(LINUX_DIR)/screenshots"; \
	"$(ROOT)/tests/debian/check-packages.sh" "$(DEB_DIR)" $$shots; \
	ls "$(DEB_DIR)"/*.deb; \
	$(call took,debian packages)
