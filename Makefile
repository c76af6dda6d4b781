# The two commands of the README: `make run` and `make test`. Everything else is a step of them
# or a developer's convenience.
.PHONY: deps build run test asan tsan fuzz bench bench-relay bench-relay-smoke clean

JOBS ?= 2

deps:
	@scripts/install-deps.sh

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

# The relay benchmark: the shipped relay against three reference relays, interleaved round by
# round, in both directions; prints a Markdown table and keeps a copy in bench/results/.
# ROUNDS=5 for more rounds. It raises its own priority a little (as root) so that other work on
# the machine disturbs every relay less; the run is bounded (about ten minutes for three rounds).
ROUNDS ?= 3
BENCH_RELAY = build/bench/bench/relay/tandrel_bench_relay
RELAY_BENCH_TARGETS = tandrel_bench_relay $(if $(wildcard classes/main.cpp),tandrel)

bench-relay: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target $(RELAY_BENCH_TARGETS)
	mkdir -p bench/results
	results=bench/results/relay-$$(date +%Y%m%d-%H%M).md; \
	$(if $(filter 0,$(shell id -u)),nice -n -5) $(BENCH_RELAY) \
		--tandrel build/bench/tandrel --rounds $(ROUNDS) >$$results; \
	status=$$?; cat $$results; exit $$status

# A pass of a few seconds that checks the benchmark still builds and runs; it asserts no figure.
bench-relay-smoke: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target $(RELAY_BENCH_TARGETS)
	$(BENCH_RELAY) --tandrel build/bench/tandrel --smoke

clean:
	rm -rf build
