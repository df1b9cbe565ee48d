# Set-up, build and test in one place.  `make run` and `make check` install
# whatever a fresh Debian 12 machine lacks (as root, with apt-get), so a new
# clone needs nothing else.

BUILD       ?= build
PORT        ?= 2987
SANITIZE    ?= 0
WERROR      ?= 0
PREFIX      ?= /usr/local
DESTDIR     ?=
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

# Debian packages, one per line with what needs it, so a new one is a line.
# The server alone (`make run`):
BUILD_DEPS := cmake make g++ pkgconf
BUILD_DEPS += libsystemd-dev             # socket activation, readiness
BUILD_DEPS += libutf8proc-dev            # UTF-8 classes and widths
BUILD_DEPS += libssl-dev                 # TLS on the second port
# Everything `make check` runs, on top of the above:
TEST_DEPS := libgtest-dev
TEST_DEPS += python3 tmux                # tests/e2e drives real clients in tmux
TEST_DEPS += telnet busybox netcat-openbsd   # ... these clients
TEST_DEPS += telnet-ssl socat openssl    # ... and these over TLS; test certificates
TEST_DEPS += faketime                    # the day change under a faked clock
TEST_DEPS += procps util-linux           # prlimit for the open-files tests
TEST_DEPS += systemd                     # systemd-analyze, systemd-socket-activate
TEST_DEPS += man-db                      # systemd-analyze verify runs man for Documentation=
TEST_DEPS += mandoc groff-base           # the manual page's lints
TEST_DEPS += dpkg-dev file               # cpack -G DEB, dpkg-shlibdeps, the stripped check
BENCH_DEPS := ncat ngircd stunnel4       # stunnel: the TLS bench's alternative
BENCH_DEPS += python3 openssl             # bench/tls.py, its throw-away certificate; bench/reconnect.py
FUZZ_DEPS  := clang libclang-rt-14-dev
PKG_DEPS   := dpkg-dev file mandoc systemd

# A fresh minimal Debian 12 root for `make fresh-check`.
FRESH_SUITE ?= bookworm

ifeq ($(SANITIZE),1)
  BUILD := $(BUILD)-san
  CMAKE_FLAGS += -DNCHATD_SANITIZE=ON -DNCHATD_WERROR=ON -DCMAKE_BUILD_TYPE=Debug
endif
ifeq ($(WERROR),1)
  CMAKE_FLAGS += -DNCHATD_WERROR=ON
endif

.PHONY: all deps test-deps run check fresh-check build install package bench fuzz format tidy clean

all: build

# Installs the named Debian packages that are missing.  Only root can do it;
# anybody else is told what to install.
define need
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	  else \
	    echo "missing Debian packages:$$missing (run 'sudo apt-get install$$missing' or make as root)" >&2; exit 1; \
	  fi; \
	fi
endef

deps:
	$(call need,$(BUILD_DEPS))

test-deps:
	$(call need,$(BUILD_DEPS) $(TEST_DEPS))

$(BUILD)/Makefile:
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

# Builds the server alone, not the test suite.
run: deps
	$(MAKE) $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target nchatd
	./$(BUILD)/nchatd -i -p $(PORT)

# Configures again even in a tree that `make run` made before GoogleTest was
# installed, so the suite is there; a tree without tests is an error.
check: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DNCHATD_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error --timeout 300 -j $(JOBS)

# What a newcomer does, in a fresh minimal Debian root: `make run` greets a
# client, then `make check` passes.  As root; needs mmdebstrap.
fresh-check:
	$(call need,mmdebstrap)
	./.ci/fresh-machine $(FRESH_SUITE)

install: deps
	$(MAKE) build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

package: deps
	$(call need,$(PKG_DEPS))
	$(MAKE) build
	cd $(BUILD) && cpack -G DEB

bench: deps
	$(call need,$(BENCH_DEPS))
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Release -DNCHATD_TESTS=OFF"
	./build-bench/bench/nchatd-bench --server ./build-bench/nchatd $(BENCH_ARGS)
	python3 bench/tls.py ./build-bench/nchatd $(TLS_BENCH_ARGS)
	python3 bench/reconnect.py ./build-bench/nchatd $(RECONNECT_BENCH_ARGS)

fuzz:
	$(call need,$(BUILD_DEPS) $(FUZZ_DEPS))
	./fuzz/run.sh $(FUZZ_SECONDS)

format:
	clang-format -i src/*.cpp src/*.h tests/*.cpp tests/*.h

tidy: build
	clang-tidy -p $(BUILD) src/*.cpp

clean:
	rm -rf build build-san build-bench build-fuzz
