# The two commands of the README: `make run` and `make test`. Everything else is a step of them
# or a developer's convenience.
.PHONY: deps build run test asan tsan fuzz bench clean

JOBS ?= 2

deps:
	@scripts/install-deps.sh interop

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	build/default/tandrel

test: build
	ctest --preset default

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

clean:
	rm -rf build
