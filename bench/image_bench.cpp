// Throughput of the image checksum and the word reversal, each beside a yardstick measured in
// the same run: zlib's CRC-32 and the table path for the checksum, memcpy for the reversal.
// After the usual table it prints the ratio of each pair (with --benchmark_repetitions, of
// the medians).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "image/crc32.h"

namespace {

constexpr std::size_t largest = std::size_t{64} << 20;

// One random buffer for every benchmark, written once so that no page is first touched
// while the clock runs.
std::vector<std::uint8_t>& source_bytes() {
  static std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> made(largest);
    std::mt19937_64 gen(7);
    for (std::size_t i = 0; i < made.size(); i += 8) {
      const std::uint64_t word = gen();
      std::memcpy(made.data() + i, &word, 8);
    }
    return made;
  }();
  return bytes;
}

std::size_t size_arg(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void crc32_feed_whole(benchmark::State& state) {
  const std::uint8_t* bytes = source_bytes().data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32_feed(0, bytes, size_arg(state)));
  }
  set_bytes(state);
}

void crc32_feed_table_only(benchmark::State& state) {
  const std::uint8_t* bytes = source_bytes().data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32_feed_by(Crc32Path::table, 0, bytes, size_arg(state)));
  }
  set_bytes(state);
}

void zlib_crc32(benchmark::State& state) {
  const std::uint8_t* bytes = source_bytes().data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32_z(0, bytes, size_arg(state)));
  }
  set_bytes(state);
}

void reverse_words(benchmark::State& state) {
  std::uint8_t* bytes = source_bytes().data();
  for (auto _ : state) {
    reverse_word_bytes(bytes, size_arg(state));
    benchmark::ClobberMemory();
  }
  set_bytes(state);
}

void copy_bytes(benchmark::State& state) {
  static std::vector<std::uint8_t> target(largest, 1);
  const std::uint8_t* bytes = source_bytes().data();
  for (auto _ : state) {
    std::memcpy(target.data(), bytes, size_arg(state));
    benchmark::ClobberMemory();
  }
  set_bytes(state);
}

#define VELMORA_BENCH_SIZES Arg(64 << 10)->Arg(1 << 20)->Arg(64 << 20)
BENCHMARK(crc32_feed_whole)->VELMORA_BENCH_SIZES;
BENCHMARK(zlib_crc32)->VELMORA_BENCH_SIZES;
BENCHMARK(crc32_feed_table_only)->VELMORA_BENCH_SIZES;
BENCHMARK(reverse_words)->VELMORA_BENCH_SIZES;
BENCHMARK(copy_bytes)->VELMORA_BENCH_SIZES;

// The console table as usual, and at the end the ratio of each benchmark to its yardstick.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Plain text: the output is meant to be kept in files and notes as well as read.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool plain = run.run_type == Run::RT_Iteration;
      if (!plain && run.aggregate_name != "median") {
        continue;
      }
      const auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end() && (!plain || !medians_.count(run.run_name.str()))) {
        rates_[run.run_name.str()] = found->second.value;
        if (!plain) {
          medians_[run.run_name.str()] = true;
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nRatios of throughput (bytes per second):\n");
    for (const char* size : {"65536", "1048576", "67108864"}) {
      print_ratio("crc32_feed / zlib crc32     ", "crc32_feed_whole", "zlib_crc32", size);
      print_ratio("crc32_feed / table path     ", "crc32_feed_whole", "crc32_feed_table_only",
                  size);
      print_ratio("reverse_word_bytes / memcpy ", "reverse_words", "copy_bytes", size);
    }
  }

 private:
  void print_ratio(const char* label, const char* name, const char* yardstick, const char* size) {
    const auto a = rates_.find(std::string(name) + "/" + size);
    const auto b = rates_.find(std::string(yardstick) + "/" + size);
    if (a != rates_.end() && b != rates_.end() && b->second > 0) {
      std::printf("  %s %9s bytes: %6.2f\n", label, size, a->second / b->second);
    }
  }

  std::map<std::string, double> rates_;
  std::map<std::string, bool> medians_;
};

// zlib's CRC-32 is the checksum inverted before and after; both must see the same value.
bool same_checksum_as_zlib() {
  const std::uint8_t* bytes = source_bytes().data();
  const std::size_t n = std::size_t{1} << 20;
  return crc32_feed(0, bytes, n) == static_cast<std::uint32_t>(~crc32_z(~0ul, bytes, n));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  if (!same_checksum_as_zlib()) {
    std::fprintf(stderr, "crc32_feed disagrees with zlib's crc32\n");
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
