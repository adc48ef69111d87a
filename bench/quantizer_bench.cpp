// Micro-benchmark of the product quantizer: batch encode throughput on 1 and 2 worker threads,
// and the cost of scoring one stored code (unpacking its packed indices, as a scan does).
//
//   cmake -S . -B build/bench -G Ninja -DNORVEX_BUILD_BENCH=ON -DNORVEX_BUILD_PYTHON=OFF
//   cmake --build build/bench --target quantizer_bench && ./build/bench/quantizer_bench
//
// The worker pool sizes itself from the CPU affinity mask at first use, so each encode
// measurement runs in a forked child that first restricts itself to the first 1 or 2 allowed
// CPUs (the same as running under `taskset -c 0` / `taskset -c 0,1`). Figures are the best of
// a few repetitions.
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "common/thread_pool.h"
#include "quantizer/prod.h"

namespace {

using norvex::quantizer::Code;
using norvex::quantizer::ProdQuantizer;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kBits = 4;
constexpr int kRepeats = 11;

std::vector<std::vector<float>> random_units(std::size_t count, std::size_t d) {
  std::mt19937 rng(1234);
  std::normal_distribution<float> gauss;
  std::vector<std::vector<float>> xs(count, std::vector<float>(d));
  for (auto& x : xs) {
    double sq = 0;
    for (float& v : x) {
      v = gauss(rng);
      sq += double(v) * v;
    }
    for (float& v : x) v = static_cast<float>(v / std::sqrt(sq));
  }
  return xs;
}

template <typename Fn>
double best_seconds(Fn&& fn) {
  double best = 1e300;
  for (int r = 0; r < kRepeats; ++r) {
    const auto start = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// Keeps only the first `threads` CPUs of the current affinity mask.
bool restrict_cpus(int threads) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return false;
  cpu_set_t keep;
  CPU_ZERO(&keep);
  int kept = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && kept < threads; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) {
      CPU_SET(cpu, &keep);
      ++kept;
    }
  }
  return kept == threads && sched_setaffinity(0, sizeof(keep), &keep) == 0;
}

void bench_encode(const ProdQuantizer& q, const std::vector<std::vector<float>>& xs, int threads) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    if (!restrict_cpus(threads)) {
      std::printf("  encode: cannot restrict to %d CPUs\n", threads);
      std::fflush(stdout);
      _exit(0);
    }
    const std::vector<std::span<const float>> views(xs.begin(), xs.end());
    std::size_t sink = 0;
    const double s = best_seconds([&] { sink += q.quantize_batch(views).size(); });
    std::printf("  encode, parallel_threads()=%zu: %10.0f vectors/s%s\n",
                norvex::parallel_threads(), static_cast<double>(xs.size()) / s,
                sink == 0 ? " (empty)" : "");
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

void bench_score(const ProdQuantizer& q, const std::vector<std::vector<float>>& xs) {
  const std::vector<std::span<const float>> views(xs.begin(), xs.end());
  const std::vector<Code> codes = q.quantize_batch(views);
  // Codes laid out back to back as in the slot file: packed indices, then the sketch.
  const std::size_t packed_bytes = q.packed_mse_bytes();
  const std::size_t sketch_bytes = q.qjl_bytes();
  const std::size_t stride = packed_bytes + sketch_bytes;
  std::vector<std::uint8_t> store(codes.size() * stride);
  std::vector<double> gammas(codes.size());
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const auto packed = q.pack_mse_indices(codes[i].mse_indices);
    std::copy(packed.begin(), packed.end(), store.begin() + i * stride);
    std::copy(codes[i].qjl_bits.begin(), codes[i].qjl_bits.end(),
              store.begin() + i * stride + packed_bytes);
    gammas[i] = codes[i].gamma;
  }
  const std::vector<double> query(xs[0].begin(), xs[0].end());
  const double prep_s = best_seconds([&] { (void)q.prepare_ip_query(query); });
  const auto prepared = q.prepare_ip_query(query);

  std::vector<std::uint16_t> indices(q.n);
  double sink = 0;
  const double scan_s = best_seconds([&] {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      const std::uint8_t* rec = store.data() + i * stride;
      q.unpack_mse_indices({rec, packed_bytes}, indices);
      sink += q.score_ip_encoded(prepared, indices, {rec + packed_bytes, sketch_bytes}, gammas[i]);
    }
  });
  const double score_only_s = best_seconds([&] {
    for (std::size_t i = 0; i < codes.size(); ++i) {
      sink += q.score_ip_encoded(prepared, codes[i].mse_indices, codes[i].qjl_bits, gammas[i]);
    }
  });
  const double per = 1e9 / static_cast<double>(codes.size());
  std::printf("  score (unpack + score_ip_encoded): %8.1f ns/vector\n", scan_s * per);
  std::printf("  score_ip_encoded alone:            %8.1f ns/vector\n", score_only_s * per);
  std::printf("  prepare_ip_query:                  %8.1f us%s\n", prep_s * 1e6,
              std::isfinite(sink) ? "" : " (nan)");
}

}  // namespace

int main() {
  struct Size {
    std::size_t d;
    std::size_t count;
  };
  const Size sizes[] = {{128, 20000}, {768, 5000}, {1536, 2500}};
  for (const auto& size : sizes) {
    const ProdQuantizer q = ProdQuantizer::create(size.d, kBits, 42, false);
    const auto xs = random_units(size.count, size.d);
    std::printf("d=%zu (n=%llu), b=%llu, %zu vectors\n", size.d,
                static_cast<unsigned long long>(q.n), static_cast<unsigned long long>(kBits),
                size.count);
    for (int threads : {1, 2}) bench_encode(q, xs, threads);
    bench_score(q, xs);
  }
  return 0;
}
