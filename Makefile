# make run    builds, then starts PROXY (stampproxy|stageproxy|slotproxy) on PORT
# make test   configures, builds and runs every test with CTest
# SANITIZE=address|thread builds in build/<sanitizer> with that sanitizer.
PROXY    ?= stampproxy
PORT     ?= 56416
SANITIZE ?=
BUILD    ?= build/$(if $(SANITIZE),$(SANITIZE),default)
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX   ?= /usr/local

.PHONY: all build run test clean bench stress install uninstall

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DSANITIZE=$(SANITIZE) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Builds only the program it starts, so a fresh clone serves within seconds
# of the compile (the test suite is built by make test).
run: $(BUILD)/CMakeCache.txt
	@case "$(PROXY)" in stampproxy|stageproxy|slotproxy) ;; \
	  *) echo "PROXY must be stampproxy, stageproxy or slotproxy" >&2; exit 2;; esac
	cmake --build $(BUILD) -j $(JOBS) --target $(PROXY)
	@if [ ! -x $(BUILD)/$(PROXY)/$(PROXY) ]; then \
	  echo "$(PROXY) is not built yet" >&2; exit 2; fi
	@echo "$(PROXY) on port $(PORT); point a browser or curl -x http://127.0.0.1:$(PORT) at it"
	exec $(BUILD)/$(PROXY)/$(PROXY) $(PORT)

# Every test runs in a network namespace with only loopback up (isolated.sh).
test: build
	cd $(BUILD) && $(CURDIR)/tests/isolated.sh ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf build

# Benchmarks against a real origin (see bench/README.md); not part of make test.
# Installs the missing tools, builds the programs in Release (one that does
# not build is left out of the run), then runs the driver with BENCH_ARGS,
# e.g. make bench BENCH_ARGS=--quick.
BENCH_BUILD ?= build/release
bench:
	sh bench/install.sh
	@mkdir -p bench/results
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  "-DPARTS=stampproxy;stageproxy;slotproxy" >bench/results/build.log 2>&1
	@for p in stampproxy stageproxy slotproxy; do \
	  cmake --build $(BENCH_BUILD) -j $(JOBS) --target $$p >>bench/results/build.log 2>&1 || \
	    echo "bench: $$p did not build (see bench/results/build.log)"; done
	python3 bench/run.py --build-dir $(BENCH_BUILD) $(BENCH_ARGS)

# The stress suite at full size (make test runs it at CI size).
stress:
	$(MAKE) build
	cd $(BUILD) && STRESS_FULL=1 $(CURDIR)/tests/isolated.sh ctest --output-on-failure -L stress

# DESTDIR= stages the install under a root of its own (the manifest keeps
# the paths without it, so uninstall adds it back).
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

uninstall:
	@if [ -f $(BUILD)/install_manifest.txt ]; then \
	  sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | xargs -d '\n' rm -fv; \
	else echo "nothing installed from $(BUILD)"; fi
