# The two commands: `make demo` and `make test`. Both install what they need.
DEBUG   := build/debug
RELEASE := build/release
CMAKE_GEN := -G Ninja

.PHONY: test demo bench bootstrap debug release clean

bootstrap:
	@scripts/bootstrap

debug: bootstrap
	@cmake -S . -B $(DEBUG) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKELVANE_SANITIZE=ON >/dev/null
	@cmake --build $(DEBUG)

release: bootstrap
	@cmake -S . -B $(RELEASE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(RELEASE)

test: debug
	@scripts/test $(DEBUG)

demo: release
	@scripts/demo $(RELEASE)

# make bench BENCH="--only small --rounds 1" runs one payload.
bench: release
	@scripts/bench $(RELEASE) $(BENCH)

clean:
	rm -rf build
