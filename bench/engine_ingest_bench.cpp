// Engine write and open costs, without the Python layer: insert_many_with_mode in chunks of
// 2000 rows (as the binding calls it) with and without metadata and raw f16 vectors, single
// inserts, and the time to open a database of many small vectors.
//
//   cmake -S . -B build/bench -G Ninja -DNORVEX_BUILD_BENCH=ON -DNORVEX_BUILD_PYTHON=OFF
//   cmake --build build/bench --target engine_ingest_bench
//   ./build/bench/engine_ingest_bench [rows=100000] [d=768] [open_rows=1000000]
//
// Prints wall time and the process's CPU time (the machine may be shared).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "../tests/cpp/test_util.h"
#include "common/thread_pool.h"
#include "storage/engine/engine.h"

namespace {

using norvex::storage::RerankPrecision;
using norvex::storage::engine::BatchWriteItem;
using norvex::storage::engine::NorvaneEngine;
using norvex::storage::engine::OpenOptions;
using norvex::storage::engine::WriteMode;
using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

struct Timer {
  Clock::time_point wall = Clock::now();
  double cpu = cpu_seconds();
  void report(const char* what, double items) const {
    const double w = std::chrono::duration<double>(Clock::now() - wall).count();
    const double c = cpu_seconds() - cpu;
    std::printf("  %-44s %10.0f /s wall  (%.2f s wall, %.2f s cpu)\n", what, items / w, w, c);
  }
};

std::vector<std::vector<float>> random_rows(std::size_t rows, std::size_t d, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g;
  std::vector<std::vector<float>> out(rows, std::vector<float>(d));
  for (auto& r : out) {
    for (float& x : r) x = g(rng);
  }
  return out;
}

OpenOptions options(const std::string& dir, std::size_t d, RerankPrecision precision) {
  OpenOptions o;
  o.uri = dir;
  o.local_dir = dir;
  o.d = d;
  o.rerank_precision = precision;
  return o;
}

void batch_insert(const std::vector<std::vector<float>>& rows, std::size_t d, bool metadata,
                  RerankPrecision precision) {
  norvex::testing::TempDir dir;
  auto e = NorvaneEngine::open_with_options(options(dir.path(), d, precision));
  Timer t;
  for (std::size_t start = 0; start < rows.size(); start += 2000) {
    std::vector<BatchWriteItem> items;
    for (std::size_t i = start; i < std::min(rows.size(), start + 2000); ++i) {
      BatchWriteItem item;
      item.id = "id-" + std::to_string(i);
      item.vector = rows[i];
      if (metadata) {
        item.properties["source"] = norvex::Json("doc-" + std::to_string(i % 100));
        item.properties["n"] = norvex::Json(i);
      }
      items.push_back(std::move(item));
    }
    // As the binding's insert_batch: the flush threshold is checked after the last chunk.
    const bool last = start + 2000 >= rows.size();
    e->insert_many_with_mode(std::move(items), WriteMode::kInsert, last);
  }
  char what[128];
  std::snprintf(what, sizeof what, "insert_many%s, raw %s", metadata ? " + metadata" : "",
                precision == RerankPrecision::kF16 ? "f16" : "none");
  t.report(what, static_cast<double>(rows.size()));
  Timer c;
  e->close();
  c.report("  close (flush) after it, rows", static_cast<double>(rows.size()));
}

void single_inserts(const std::vector<std::vector<float>>& rows, std::size_t d, std::size_t count) {
  norvex::testing::TempDir dir;
  auto e = NorvaneEngine::open_with_options(options(dir.path(), d, RerankPrecision::kDisabled));
  Timer t;
  for (std::size_t i = 0; i < count; ++i) {
    const auto& r = rows[i % rows.size()];
    e->insert_with_document("s-" + std::to_string(i), std::vector<double>(r.begin(), r.end()), {},
                            std::nullopt);
  }
  t.report("single insert", static_cast<double>(count));
}

void open_time(std::size_t rows, std::size_t d) {
  norvex::testing::TempDir dir;
  {
    auto e = NorvaneEngine::open_with_options(options(dir.path(), d, RerankPrecision::kDisabled));
    const auto data = random_rows(20000, d, 3);
    for (std::size_t start = 0; start < rows; start += 20000) {
      std::vector<BatchWriteItem> items;
      for (std::size_t i = start; i < std::min(rows, start + 20000); ++i) {
        BatchWriteItem item;
        item.id = "id-" + std::to_string(i);
        item.vector = data[i - start];
        item.properties["i"] = norvex::Json(i);
        items.push_back(std::move(item));
      }
      e->insert_many_with_mode(std::move(items), WriteMode::kInsert);
    }
    e->close();
  }
  Timer t;
  auto e = NorvaneEngine::open_with_options(options(dir.path(), d, RerankPrecision::kDisabled));
  char what[128];
  std::snprintf(what, sizeof what, "open %zu x %zu (opens per second)", rows, d);
  t.report(what, 1.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const std::size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 768;
  const std::size_t open_rows = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000000;
  std::printf("worker threads: %zu\n", norvex::parallel_threads());
  const auto data = random_rows(rows, d, 1);
  std::printf("d=%zu, %zu rows:\n", d, rows);
  batch_insert(data, d, false, RerankPrecision::kDisabled);
  batch_insert(data, d, true, RerankPrecision::kDisabled);
  batch_insert(data, d, false, RerankPrecision::kF16);
  single_inserts(data, d, 20000);
  if (open_rows > 0) open_time(open_rows, 128);
}
