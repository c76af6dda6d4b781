# The two commands of the README: `make run` and `make test`. Everything else is a step of them
# or a developer's convenience.
.PHONY: deps build run test asan tsan fuzz bench bench-smoke bench-transport soak clean

JOBS ?= 2
FUZZ_SECONDS ?= 60
FUZZ_DECODER = build/fuzz/fuzz/tandrel_fuzz_decoder
BENCH_CODEC = build/bench/bench/tandrel_bench_codec

deps:
	@scripts/install-deps.sh interop

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

# Builds only the relay, so that the first start does not wait for the test suites.
run: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target tandrel
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

# The decoder under libFuzzer: every committed regression case once, then a run bounded by
# FUZZ_SECONDS from the seed corpus. Any crash, leak, timeout or failed check fails the target;
# what it finds lands in build/fuzz/findings, new inputs in build/fuzz/corpus.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target tandrel_fuzz_decoder
	$(FUZZ_DECODER) fuzz/regressions/decoder/*
	mkdir -p build/fuzz/corpus/decoder build/fuzz/findings
	$(FUZZ_DECODER) -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
		-artifact_prefix=build/fuzz/findings/ -print_final_stats=1 \
		build/fuzz/corpus/decoder fuzz/corpus/decoder

# The codec benchmark with its liblo and oscpack baselines; prints the ratio table at the end.
bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target tandrel_bench_codec
	$(BENCH_CODEC) --benchmark_repetitions=10 --benchmark_min_time=0.2

# Builds the benchmark and runs each case very briefly: it must work, its figures mean nothing.
bench-smoke: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target tandrel_bench_codec
	$(BENCH_CODEC) --benchmark_min_time=0.01

# The transport's idle CPU (three senders' timers) and posting cost against a plain hand-off
# queue; prints Markdown tables and fails when idle reaches 1% of a core. About 15 seconds.
BENCH_TRANSPORT = build/bench/bench/transport/tandrel_bench_transport

bench-transport: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS) --target tandrel_bench_transport
	$(BENCH_TRANSPORT)

# The long soak: traffic on every route while the settings change, for SOAK_SECONDS.
SOAK_SECONDS ?= 300
soak: build
	TANDREL_SOAK_SECONDS=$(SOAK_SECONDS) build/default/tests/tandrel_tests_soak

clean:
	rm -rf build
