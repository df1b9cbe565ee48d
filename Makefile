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

BUILD_DEPS := cmake make g++ pkgconf libsystemd-dev libutf8proc-dev
# systemd brings systemd-analyze and systemd-socket-activate.
TEST_DEPS  := libgtest-dev python3 faketime telnet busybox netcat-openbsd tmux procps util-linux \
              dpkg-dev file mandoc systemd groff-base
BENCH_DEPS := ncat ngircd
FUZZ_DEPS  := clang libclang-rt-14-dev
PKG_DEPS   := dpkg-dev file mandoc systemd

ifeq ($(SANITIZE),1)
  BUILD := $(BUILD)-san
  CMAKE_FLAGS += -DNCHATD_SANITIZE=ON -DNCHATD_WERROR=ON -DCMAKE_BUILD_TYPE=Debug
endif
ifeq ($(WERROR),1)
  CMAKE_FLAGS += -DNCHATD_WERROR=ON
endif

.PHONY: all deps test-deps run check build install package bench fuzz format tidy clean

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

check: test-deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure --timeout 300 -j $(JOBS)

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

fuzz:
	$(call need,$(BUILD_DEPS) $(FUZZ_DEPS))
	./fuzz/run.sh $(FUZZ_SECONDS)

format:
	clang-format -i src/*.cpp src/*.h tests/*.cpp tests/*.h

tidy: build
	clang-tidy -p $(BUILD) src/*.cpp

clean:
	rm -rf build build-san build-bench build-fuzz
