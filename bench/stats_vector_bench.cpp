// Cost of the stats vector per datagram (one send and its reply) and per report tick, and the heap
// allocations per datagram, counted by replacing the global operator new in this program.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include "stats_vector.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using brindlemoor::StatsVector;

// Rate 1000 per interval: window size 2000, one report tick after every 1000 datagrams, as in a session.
constexpr std::uint64_t kRate = 1000;

void BM_SendAndReceive(benchmark::State& state) {
    StatsVector vector(2 * kRate);
    std::uint64_t seq = 1;
    std::uint64_t in_interval = 0;
    const std::uint64_t before = allocations.load();
    std::uint64_t datagrams = 0;
    for (auto _ : state) {
        vector.on_send(seq);
        vector.on_receive(seq);
        ++seq;
        ++datagrams;
        if (++in_interval == kRate) {
            state.PauseTiming();
            benchmark::DoNotOptimize(vector.on_tick());
            in_interval = 0;
            state.ResumeTiming();
        }
    }
    state.counters["allocs_per_datagram"] =
        static_cast<double>(allocations.load() - before) / static_cast<double>(datagrams == 0 ? 1 : datagrams);
}
BENCHMARK(BM_SendAndReceive);

void BM_Tick(benchmark::State& state) {
    StatsVector vector(2 * kRate);
    std::uint64_t seq = 1;
    for (auto _ : state) {
        vector.on_send(seq++);  // a send in every interval, so every tick reports and swaps
        benchmark::DoNotOptimize(vector.on_tick());
    }
}
BENCHMARK(BM_Tick);

}  // namespace

BENCHMARK_MAIN();
