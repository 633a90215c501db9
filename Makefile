# Thin wrappers around the scripts; the scripts are the source of truth.
.PHONY: deps build test demo bench clean

deps:
	scripts/install-deps

build: deps
	cmake -S . -B build/dev -G Ninja -DPELAGON2_WERROR=ON
	ninja -C build/dev

test:
	scripts/test

demo:
	scripts/demo

bench:
	scripts/install-deps --bench
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELAGON2_TESTS=OFF
	ninja -C build/bench

clean:
	rm -rf build
