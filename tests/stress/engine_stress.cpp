// Concurrency stress of the engine under a reader-writer lock, the way the Python binding
// drives it: readers share the lock (search, get, counts, listings, stats) while writers take
// it alone (inserts, batches, upserts, updates, deletes, metadata updates, flush, close). Built
// with ThreadSanitizer by scripts/test; a data race, a failed check or a crash fails it.
//
//   engine_stress [SECONDS]     default 3
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"
#include "storage/engine/engine.h"

using namespace norvex;
using namespace norvex::storage::engine;

namespace {

constexpr std::size_t kDim = 16;
constexpr int kStable = 200;  // records the writers never touch

std::atomic<int> g_failures{0};
std::atomic<long> g_reads{0};
std::atomic<long> g_writes{0};

void fail(const std::string& what) {
  if (g_failures.fetch_add(1) < 10) std::fprintf(stderr, "engine stress: %s\n", what.c_str());
}

std::vector<double> vec(std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  std::vector<double> v(kDim);
  for (double& x : v) x = static_cast<float>(g(rng));
  return v;
}

std::string stable_id(int i) { return "stable" + std::to_string(i); }

struct Shared {
  std::shared_mutex lock;
  std::unique_ptr<NorvaneEngine> engine;
  std::vector<std::vector<double>> stable_vectors;
};

void reader(Shared& s, std::uint64_t seed, const std::atomic<bool>& stop) {
  std::mt19937_64 rng(seed);
  PropertyMap stable_filter{{"stable", true}};
  while (!stop.load()) {
    const int i = static_cast<int>(rng() % kStable);
    std::shared_lock guard(s.lock);
    const NorvaneEngine& e = *s.engine;
    try {
      switch (rng() % 6) {
        case 0: {
          auto hits = e.search_with_filter_and_ann(s.stable_vectors[i], 5, std::nullopt,
                                                   std::nullopt, false);
          if (hits.empty() || hits[0].id != stable_id(i)) fail("search misses " + stable_id(i));
          for (std::size_t k = 1; k < hits.size(); ++k) {
            if (hits[k - 1].score < hits[k].score) fail("search results out of order");
          }
          break;
        }
        case 1: {
          auto hits = e.search_with_filter_and_ann(s.stable_vectors[i], 3, stable_filter,
                                                   std::nullopt, false);
          for (const auto& h : hits) {
            if (h.id.rfind("stable", 0) != 0) fail("filtered search returned " + h.id);
          }
          break;
        }
        case 2: {
          auto got = e.get(stable_id(i));
          if (!got || got->metadata.properties.at("i") != i) fail("get " + stable_id(i));
          break;
        }
        case 3:
          if (e.count_with_filter(stable_filter) != kStable) fail("filtered count");
          break;
        case 4: {
          auto ids = e.list_all_ids();
          if (ids.size() != e.count_with_filter(std::nullopt)) fail("list_all and count differ");
          break;
        }
        default:
          (void)e.stats();
          (void)e.list_with_filter_page(std::nullopt, 10, rng() % 50);
      }
    } catch (const Error& err) {
      fail(std::string("read failed: ") + err.what());
    }
    g_reads.fetch_add(1);
    guard.unlock();
    // std::shared_mutex (the binding's lock) favours readers: leave the writers a gap.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

void writer(Shared& s, std::uint64_t seed, const std::atomic<bool>& stop) {
  std::mt19937_64 rng(seed);
  int next = 0;
  std::vector<std::string> mine;
  const std::string tag = "w" + std::to_string(seed) + "-";
  while (!stop.load()) {
    std::unique_lock guard(s.lock);
    NorvaneEngine& e = *s.engine;
    try {
      const auto r = rng() % 100;
      if (r < 30 || mine.empty()) {
        const std::string id = tag + std::to_string(next++);
        e.insert_with_document(id, vec(rng), {{"w", static_cast<std::uint64_t>(seed)}}, "doc");
        mine.push_back(id);
      } else if (r < 45) {
        std::vector<BatchWriteItem> items;
        for (int k = 0; k < 20; ++k) {
          const std::string id = tag + std::to_string(next++);
          auto v = vec(rng);
          items.push_back({id, std::vector<float>(v.begin(), v.end()), {}, std::nullopt});
          mine.push_back(id);
        }
        e.insert_many_with_mode(std::move(items), WriteMode::kInsert);
      } else if (r < 60) {
        e.write_vector_entry(mine[rng() % mine.size()], vec(rng), {{"up", true}}, std::nullopt);
      } else if (r < 75) {
        const auto k = rng() % mine.size();
        e.delete_id(mine[k]);
        mine.erase(mine.begin() + static_cast<long>(k));
      } else if (r < 88) {
        e.update_metadata_only(mine[rng() % mine.size()], {{"meta", 1}}, "new doc");
      } else if (r < 95) {
        e.flush_wal_to_segment();
      } else {
        e.close();  // the engine stays usable after close
      }
    } catch (const Error& err) {
      fail(std::string("write failed: ") + err.what());
    }
    g_writes.fetch_add(1);
    guard.unlock();
    std::this_thread::yield();
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  auto dir = std::filesystem::temp_directory_path() /
             ("norvex-stress-" + std::to_string(static_cast<long>(getpid())));
  std::filesystem::remove_all(dir);
  Shared s;
  OpenOptions o;
  o.uri = o.local_dir = dir.string();
  o.d = kDim;
  o.metric = storage::DistanceMetric::kCosine;
  o.rerank_precision = storage::RerankPrecision::kF32;
  o.wal_flush_threshold = 64;
  s.engine = NorvaneEngine::open_with_options(o);
  std::mt19937_64 rng(7);
  for (int i = 0; i < kStable; ++i) {
    s.stable_vectors.push_back(vec(rng));
    s.engine->insert_with_document(stable_id(i), s.stable_vectors.back(),
                                   {{"stable", true}, {"i", i}}, std::nullopt);
  }

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < 4; ++r) threads.emplace_back([&, r] { reader(s, 100 + r, stop); });
  for (int w = 0; w < 2; ++w) threads.emplace_back([&, w] { writer(s, 200 + w, stop); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (auto& t : threads) t.join();

  // At the end: counts agree, and a reopen sees the same records.
  const auto ids = s.engine->list_all_ids();
  if (ids.size() != s.engine->count_with_filter(std::nullopt)) fail("final count");
  s.engine->close();
  s.engine.reset();
  auto reopened = NorvaneEngine::open_with_options(o);
  if (reopened->list_all_ids() != ids) fail("reopen lists other ids");
  for (int i = 0; i < kStable; ++i) {
    if (!reopened->get(stable_id(i))) fail("reopen lost " + stable_id(i));
  }
  reopened.reset();
  std::filesystem::remove_all(dir);
  std::printf("engine stress: %.0f s, %ld reads, %ld writes, %d failures\n", seconds,
              g_reads.load(), g_writes.load(), g_failures.load());
  return g_failures.load() == 0 ? 0 : 1;
}
