// The SPI flash paths on the simulated chip and the virtual clock, where the time goes into
// control transfers: a whole download of the built-in 64 KiB image, and the blank check and
// read-back of a large image. Every benchmark reports the control transfers it needed per
// iteration, so that a change in the piece rules shows up as a number, not only as time.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench_support.h"
#include "engine/update_rules.h"

namespace drover::bench {
namespace {

constexpr std::size_t kPiece = kFlashPiece;

void ReportTransfers(benchmark::State& state, std::uint64_t transfers) {
  const double perIteration = static_cast<double>(transfers) / static_cast<double>(state.iterations());
  state.counters["transfers"] = benchmark::Counter(perIteration);
  state.counters["transfers_per_s"] = benchmark::Counter(static_cast<double>(transfers), benchmark::Counter::kIsRate);
}

// Erase, blank check, write, read-back, tag and restart of FFU_7330 on a VQ7330, each
// iteration on a freshly opened flow (the open itself is not timed).
void BM_DownloadFfu7330(benchmark::State& state) {
  SimSession s;
  sim::DeviceOptions o;
  o.ic = "VQ7330";
  const int n = s.AddDevice(o);
  const Bytes image = BuiltInImage(kImage7330);
  if (image.size() != 0x10000) {
    state.SkipWithError("FFU_7330 is not a 64 KiB image");
    return;
  }
  // One download first, so that every timed one finds the chip running code, as an update does.
  s.Open(n);
  s.flow->m_pFileData = image;
  if (s.flow->DEV_Download() != 1) {
    state.SkipWithError("first download failed");
    return;
  }
  std::uint64_t transfers = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.Open(n);
    s.flow->m_pFileData = image;
    const std::uint64_t before = s.Transfers(n);
    state.ResumeTiming();
    const int ok = s.flow->DEV_Download();
    state.PauseTiming();
    transfers += s.Transfers(n) - before;
    state.ResumeTiming();
    if (ok != 1) {
      state.SkipWithError("download failed");
      break;
    }
  }
  ReportTransfers(state, transfers);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_DownloadFfu7330)->Unit(benchmark::kMillisecond);

// An image of `size` bytes as large images are: code in its first 64 KiB, then mostly blank
// with one piece of data in every eight.
Bytes LargeImage(std::size_t size) {
  Bytes image(size, 0xFF);
  std::uint32_t x = 12345;
  for (std::size_t o = 0; o < size; o += kPiece) {
    if (o >= 0x10000 && (o / kPiece) % 8 != 0) continue;
    for (std::size_t i = o; i < std::min(size, o + kPiece); ++i) {
      x = x * 1664525u + 1013904223u;
      image[i] = static_cast<std::uint8_t>(x >> 24) == 0xFF ? 0x00 : static_cast<std::uint8_t>(x >> 24);
    }
  }
  return image;
}

std::size_t BlankPieces(const Bytes& image) {
  std::size_t blank = 0;
  for (std::size_t o = 0; o < image.size(); o += kPiece) {
    const auto end = image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), o + kPiece));
    if (std::all_of(image.begin() + static_cast<std::ptrdiff_t>(o), end, [](std::uint8_t b) { return b == 0xFF; }))
      ++blank;
  }
  return blank;
}

// A VQ7330 (no second bank) with a flash of twice `size`, opened, data control size as the
// update sets it.
int OpenLargeFlash(SimSession& s, std::size_t size) {
  sim::DeviceOptions o;
  o.ic = "VQ7330";
  o.flashSize = static_cast<std::uint32_t>(std::max<std::size_t>(size * 2, 0x10000));
  const int n = s.AddDevice(o);
  s.Open(n);
  s.flow->MP_ChangeDataControlSize(64);
  return n;
}

// The blank check after the erase reads one 4 KiB piece in every 16 KiB.
void BM_BlankCheck(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  SimSession s;
  const int n = OpenLargeFlash(s, size);
  Bytes buffer(size);
  std::uint64_t transfers = 0;
  for (auto _ : state) {
    const std::uint64_t before = s.Transfers(n);
    const int ok = s.flow->MP_CheckSPIFlashEmpty(buffer);
    transfers += s.Transfers(n) - before;
    if (ok != 1) {
      state.SkipWithError("blank check failed on a blank flash");
      break;
    }
  }
  ReportTransfers(state, transfers);
  state.counters["pieces"] = benchmark::Counter(static_cast<double>(size / kPiece));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_BlankCheck)->Arg(0x40000)->Arg(0x100000)->Unit(benchmark::kMillisecond);

// The read-back after the write skips the pieces that are blank in the image.
void BM_ReadBack(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  SimSession s;
  const int n = OpenLargeFlash(s, size);
  const Bytes image = LargeImage(size);
  if (!s.bus->WriteMemory(n, sim::Memory::Flash, 0, image)) {
    state.SkipWithError("image does not fit the flash");
    return;
  }
  Bytes buffer(size);
  std::uint64_t transfers = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::copy(image.begin(), image.end(), buffer.begin());
    const std::uint64_t before = s.Transfers(n);
    state.ResumeTiming();
    const int ok = s.flow->MP_ReadBackFlashCode(buffer);
    state.PauseTiming();
    transfers += s.Transfers(n) - before;
    const bool same = buffer == image;
    state.ResumeTiming();
    if (ok != 1 || !same) {
      state.SkipWithError("read-back failed or differs");
      break;
    }
  }
  ReportTransfers(state, transfers);
  state.counters["pieces"] = benchmark::Counter(static_cast<double>(size / kPiece));
  state.counters["blank_pieces"] = benchmark::Counter(static_cast<double>(BlankPieces(image)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_ReadBack)->Arg(0x40000)->Arg(0x100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace drover::bench

BENCHMARK_MAIN();
