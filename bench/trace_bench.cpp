// Trace calls on the hot paths (every 4 KiB piece, every retry) when nobody receives the
// lines: they must cost next to nothing and allocate nothing. A replaced global operator new
// counts the allocations made inside the timed loop.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "base/trace.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};

void* CountedAlloc(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace drover::bench {
namespace {

// Allocations per iteration of the loop just run; the benchmark fails when there were any.
void ReportAllocations(benchmark::State& state, std::uint64_t before) {
  const std::uint64_t made = g_allocations.load() - before;
  state.counters["allocs_per_iter"] =
      benchmark::Counter(static_cast<double>(made) / static_cast<double>(std::max<std::int64_t>(1, state.iterations())));
  if (made != 0) state.SkipWithError("a trace call without an observer allocated");
}

void BM_TraceLineWithoutObserver(benchmark::State& state) {
  SetTraceObserver(nullptr);
  TraceScope scope("CMpFlow::MP_WriteFlashCode", false);
  const std::uint64_t before = g_allocations.load();
  std::size_t piece = 0;
  for (auto _ : state) {
    TraceLine(scope, "Write piece 0x%zX fail\n", piece);
    piece += 0x1000;
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceLineWithoutObserver);

void BM_TraceFailWithoutObserver(benchmark::State& state) {
  SetTraceObserver(nullptr);
  TraceScope scope("CMpFlow2::MP_CheckSPIFlashEmpty", false);
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) TraceFail(scope, "Read Flash Code Fail\n");
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceFailWithoutObserver);

// A scope with its entry and exit lines, as every named operation opens one.
void BM_TraceScopeWithoutObserver(benchmark::State& state) {
  SetTraceObserver(nullptr);
  const std::uint64_t before = g_allocations.load();
  for (auto _ : state) {
    TraceScope scope("CMpFlow::MP_ReadFlashBytes");
    benchmark::DoNotOptimize(&scope);
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceScopeWithoutObserver);

}  // namespace
}  // namespace drover::bench

BENCHMARK_MAIN();
