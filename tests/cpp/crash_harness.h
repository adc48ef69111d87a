// Kill-and-reopen harness: a forked child runs a seeded random mix of writes against a
// database and reports every acknowledged call on a pipe; the parent kills it with SIGKILL at
// a random moment, reopens a copy of the directory and checks that it holds exactly the
// acknowledged writes (the call in flight may be absent, present, or - for calls that log
// several entries - present up to any prefix of its entries).
//
// Used by the engine's crash test (a few dozen kills) and by bench/engine_crash_soak.cpp (as
// many as asked for). Needs no test framework: checks return a description of the failure.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/engine/engine.h"

namespace norvex::testing::crash {

using storage::DistanceMetric;
using storage::RerankPrecision;
using storage::engine::BatchWriteItem;
using storage::engine::NorvaneEngine;
using storage::engine::OpenOptions;
using storage::engine::WriteMode;

inline constexpr std::size_t kDim = 16;
inline constexpr std::uint64_t kFlushThreshold = 7;
inline constexpr int kIdUniverse = 40;

struct Record {
  std::vector<double> vector;
  PropertyMap properties;
  std::optional<std::string> document;
};
using Model = std::map<std::string, Record>;

enum class Kind {
  kInsert,
  kUpsert,
  kUpdate,
  kBatch,
  kDelete,
  kDeleteBatch,
  kMetadata,
  kFlush,
  kClose
};

struct Item {
  std::string id;
  Record record;
};

struct Op {
  Kind kind = Kind::kFlush;
  std::vector<Item> items;       // vector writes; the metadata update's new record
  std::vector<std::string> ids;  // deletions
};

inline OpenOptions crash_options(const std::string& dir) {
  OpenOptions o;
  o.uri = dir;
  o.local_dir = dir;
  o.d = kDim;
  o.metric = DistanceMetric::kL2;
  o.rerank_precision = RerankPrecision::kF32;
  o.wal_flush_threshold = kFlushThreshold;
  return o;
}

// Generates calls that are valid for the model's state.
class Workload {
 public:
  explicit Workload(std::uint64_t seed) : rng_(seed) {}

  Op next(const Model& m) {
    Op op;
    const int r = static_cast<int>(rng_() % 100);
    if (r < 25) {
      op.kind = Kind::kInsert;
      std::vector<std::string> absent;
      for (int i = 0; i < kIdUniverse; ++i) {
        if (!m.count(key(i))) absent.push_back(key(i));
      }
      if (absent.empty()) {
        op.kind = Kind::kUpsert;
        absent.push_back(any_id());
      }
      op.items.push_back(item(absent[rng_() % absent.size()]));
    } else if (r < 38) {
      op.kind = Kind::kUpsert;
      op.items.push_back(item(any_id()));
    } else if (r < 46 && !m.empty()) {
      op.kind = Kind::kUpdate;
      op.items.push_back(item(present_id(m)));
    } else if (r < 58) {
      op.kind = Kind::kBatch;
      // Now and then a batch whose log append takes several writes.
      const std::size_t n = rng_() % 20 == 0 ? 150 + rng_() % 150 : 1 + rng_() % 24;
      for (std::size_t i = 0; i < n; ++i) op.items.push_back(item(any_id()));
    } else if (r < 70) {
      op.kind = Kind::kDelete;
      op.ids.push_back(m.empty() || rng_() % 4 == 0 ? any_id() : present_id(m));
    } else if (r < 77) {
      op.kind = Kind::kDeleteBatch;
      const std::size_t n = 1 + rng_() % 6;
      for (std::size_t i = 0; i < n; ++i) {
        op.ids.push_back(m.empty() || rng_() % 3 == 0 ? any_id() : present_id(m));
      }
    } else if (r < 90 && !m.empty()) {
      op.kind = Kind::kMetadata;
      Item it;
      it.id = present_id(m);
      if (rng_() % 3 != 0) it.record.properties = props(it.id);
      if (rng_() % 2 == 0) it.record.document = "meta" + std::to_string(rng_() % 1000);
      op.items.push_back(std::move(it));
    } else if (r < 97) {
      op.kind = Kind::kFlush;
    } else {
      op.kind = Kind::kClose;
    }
    return op;
  }

 private:
  static std::string key(int i) { return std::string("k").append(std::to_string(i)); }
  std::string any_id() { return key(static_cast<int>(rng_() % kIdUniverse)); }
  std::string present_id(const Model& m) {
    auto it = m.begin();
    std::advance(it, static_cast<long>(rng_() % m.size()));
    return it->first;
  }
  PropertyMap props(const std::string& id) {
    return {{"uid", Json(id)}, {"v", Json(static_cast<std::int64_t>(rng_() % 100000))}};
  }
  Item item(const std::string& id) {
    Item it;
    it.id = id;
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    it.record.vector.resize(kDim);
    for (double& x : it.record.vector) x = u(rng_);
    it.record.properties = props(id);
    if (rng_() % 2 == 0) it.record.document = "doc" + std::to_string(rng_() % 1000);
    return it;
  }

  std::mt19937_64 rng_;
};

// The entries a call logs, in order: what a prefix of it means.
inline std::vector<std::string> deleted_in_order(const Model& m, const Op& op) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& id : op.ids) {
    if (m.count(id) && seen.insert(id).second) out.push_back(id);
  }
  return out;
}

inline std::size_t entry_count(const Model& m, const Op& op) {
  switch (op.kind) {
    case Kind::kBatch:
      return op.items.size();
    case Kind::kDelete:
    case Kind::kDeleteBatch:
      return deleted_in_order(m, op).size();
    case Kind::kFlush:
    case Kind::kClose:
      return 0;
    default:
      return 1;
  }
}

// Applies the first `prefix` logged entries of the call to the model.
inline void apply_op(Model& m, const Op& op, std::size_t prefix = SIZE_MAX) {
  switch (op.kind) {
    case Kind::kInsert:
    case Kind::kUpsert:
    case Kind::kUpdate:
    case Kind::kBatch:
      for (std::size_t i = 0; i < op.items.size() && i < prefix; ++i) {
        m[op.items[i].id] = op.items[i].record;
      }
      break;
    case Kind::kDelete:
    case Kind::kDeleteBatch: {
      const auto ids = deleted_in_order(m, op);
      for (std::size_t i = 0; i < ids.size() && i < prefix; ++i) m.erase(ids[i]);
      break;
    }
    case Kind::kMetadata:
      if (prefix > 0) {
        Record& r = m.at(op.items[0].id);
        if (!op.items[0].record.properties.empty()) r.properties = op.items[0].record.properties;
        if (op.items[0].record.document) r.document = op.items[0].record.document;
      }
      break;
    case Kind::kFlush:
    case Kind::kClose:
      break;
  }
}

inline void run(NorvaneEngine& e, const Op& op) {
  switch (op.kind) {
    case Kind::kInsert:
      e.insert_with_document(op.items[0].id, op.items[0].record.vector,
                             op.items[0].record.properties, op.items[0].record.document);
      break;
    case Kind::kUpsert:
      e.write_vector_entry(op.items[0].id, op.items[0].record.vector, op.items[0].record.properties,
                           op.items[0].record.document);
      break;
    case Kind::kUpdate:
      e.update_with_document(op.items[0].id, op.items[0].record.vector,
                             op.items[0].record.properties, op.items[0].record.document);
      break;
    case Kind::kBatch: {
      std::vector<BatchWriteItem> items;
      for (const Item& it : op.items) {
        items.push_back({it.id,
                         std::vector<float>(it.record.vector.begin(), it.record.vector.end()),
                         it.record.properties, it.record.document});
      }
      e.insert_many_with_mode(std::move(items), WriteMode::kUpsert);
      break;
    }
    case Kind::kDelete:
      e.delete_id(op.ids[0]);
      break;
    case Kind::kDeleteBatch:
      e.delete_batch(op.ids);
      break;
    case Kind::kMetadata:
      e.update_metadata_only(op.items[0].id, op.items[0].record.properties,
                             op.items[0].record.document);
      break;
    case Kind::kFlush:
      e.flush_wal_to_segment();
      break;
    case Kind::kClose:
      e.close();
      break;
  }
}

// Empty when the engine holds exactly the model. Vectors are checked by an exact l2 match
// (raw f32 rerank), except those of `skip_vectors`.
inline std::string compare(const NorvaneEngine& e, const Model& m,
                           const std::set<std::string>& skip_vectors) {
  std::vector<std::string> ids = e.list_all_ids();
  if (e.count_with_filter(std::nullopt) != ids.size()) return "count differs from the listing";
  std::sort(ids.begin(), ids.end());
  std::vector<std::string> want;
  for (const auto& [id, r] : m) want.push_back(id);
  if (ids != want) {
    std::string s = "ids differ: have";
    for (const auto& id : ids) s += " " + id;
    s += "; want";
    for (const auto& id : want) s += " " + id;
    return s;
  }
  const auto got = e.get_many(want);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const Record& r = m.at(want[i]);
    if (!got[i]) return "get_many lost " + want[i];
    if (!(got[i]->metadata == storage::VectorMetadata{r.properties, r.document})) {
      return "metadata of " + want[i] + " differs: " + got[i]->metadata.to_json();
    }
    if (skip_vectors.count(want[i])) continue;
    const auto hits = e.search_with_filter_and_ann(r.vector, 1, PropertyMap{{"uid", Json(want[i])}},
                                                   std::nullopt, false);
    if (hits.size() != 1 || hits[0].id != want[i] || hits[0].score != 0.0) {
      return "vector of " + want[i] + " differs";
    }
  }
  return "";
}

// What a series of kills carries from one round to the next.
struct Round {
  Model model;
  Workload workload;
  // Ids whose raw vector may be stale: a vector write of an existing id that was logged but
  // killed before its raw record was written is replayed with the old raw vector (the log
  // holds no raw vectors). Cleared by the next acknowledged write or deletion of the id.
  std::set<std::string> raw_unknown;
};

// The ids whose vector a call (or the first `prefix` entries of it) writes, and which of
// them already existed when written.
inline void written_ids(const Model& before, const Op& op, std::size_t prefix,
                        std::set<std::string>& all, std::set<std::string>& existing) {
  if (op.kind == Kind::kMetadata) return;
  std::set<std::string> present;
  for (const auto& [id, r] : before) present.insert(id);
  for (std::size_t i = 0; i < op.items.size() && i < prefix; ++i) {
    all.insert(op.items[i].id);
    if (!present.insert(op.items[i].id).second) existing.insert(op.items[i].id);
  }
}

[[noreturn]] inline void child_main(const std::string& dir, Round round, int fd, int max_ops) {
  try {
    auto e = NorvaneEngine::open_with_options(crash_options(dir));
    for (int i = 0; i < max_ops; ++i) {
      const Op op = round.workload.next(round.model);
      run(*e, op);
      apply_op(round.model, op);
      const char ack = 'A';
      if (::write(fd, &ack, 1) != 1) ::_exit(3);
    }
    ::_exit(0);
  } catch (const std::exception& ex) {
    const std::string msg = std::string("E") + ex.what();
    [[maybe_unused]] auto n = ::write(fd, msg.data(), msg.size());
    ::_exit(1);
  }
}

struct KillResult {
  std::size_t acked = 0;
  std::string child_error;
};

// Forks a child that continues `round` on `dir`, kills it after a random number of
// acknowledged calls plus a random delay, and returns how many calls it acknowledged.
inline KillResult fork_and_kill(const std::string& dir, const Round& round, std::mt19937_64& rng) {
  int fds[2];
  if (::pipe(fds) != 0) return {0, "pipe failed"};
  const pid_t pid = ::fork();
  if (pid < 0) return {0, "fork failed"};
  if (pid == 0) {
    ::close(fds[0]);
    child_main(dir, round, fds[1], 400);
  }
  ::close(fds[1]);
  KillResult res;
  const std::size_t target = rng() % 40;
  char buf[4096];
  std::string error;
  auto consume = [&](ssize_t n) {
    for (ssize_t i = 0; i < n; ++i) {
      if (!error.empty() || buf[i] == 'E') {
        error.push_back(buf[i]);
      } else {
        ++res.acked;
      }
    }
  };
  while (res.acked < target && error.empty()) {
    const ssize_t n = ::read(fds[0], buf, 1);
    if (n <= 0) break;
    consume(n);
  }
  std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (;;) {  // acknowledgements written before the kill count
    const ssize_t n = ::read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;
    consume(n);
  }
  ::close(fds[0]);
  res.child_error = error;
  return res;
}

// Works out the state the database must be in after `acked` calls of `round`, opens a copy
// of `dir` (so that the next child meets the directory exactly as the killed one left it) and
// checks it. On success advances `round` to the state found. Returns the failure, if any.
inline std::string check_after_kill(const std::string& dir, const std::string& scratch,
                                    Round& round, std::size_t acked) {
  Model base = round.model;
  Workload w = round.workload;
  std::set<std::string> raw_unknown = round.raw_unknown;
  for (std::size_t i = 0; i < acked; ++i) {
    const Op op = w.next(base);
    std::set<std::string> written, unused;
    written_ids(base, op, SIZE_MAX, written, unused);
    for (const auto& id : written) raw_unknown.erase(id);
    for (const auto& id : deleted_in_order(base, op)) raw_unknown.erase(id);
    apply_op(base, op);
  }
  const Op in_flight = w.next(base);
  std::set<std::string> skip = raw_unknown;
  for (const auto& it : in_flight.items) skip.insert(it.id);

  std::filesystem::remove_all(scratch);
  std::filesystem::create_directories(dir);  // the child may have died before creating it
  std::filesystem::copy(dir, scratch, std::filesystem::copy_options::recursive);
  std::unique_ptr<NorvaneEngine> e;
  try {
    e = NorvaneEngine::open_with_options(crash_options(scratch));
  } catch (const std::exception& ex) {
    return std::string("reopen failed: ") + ex.what();
  }
  std::string first_mismatch;
  const std::size_t parts = entry_count(base, in_flight);
  for (std::size_t prefix = 0; prefix <= parts; ++prefix) {
    Model candidate = base;
    apply_op(candidate, in_flight, prefix);
    const std::string diff = compare(*e, candidate, skip);
    if (diff.empty()) {
      std::set<std::string> written, existing;
      written_ids(base, in_flight, prefix, written, existing);
      for (const auto& id : written) raw_unknown.erase(id);
      const auto deleted = deleted_in_order(base, in_flight);
      for (std::size_t i = 0; i < deleted.size() && i < prefix; ++i) raw_unknown.erase(deleted[i]);
      raw_unknown.insert(existing.begin(), existing.end());
      round.model = std::move(candidate);
      round.workload = w;
      round.raw_unknown = std::move(raw_unknown);
      return "";
    }
    if (first_mismatch.empty()) first_mismatch = diff;
  }
  return "after " + std::to_string(acked) + " acknowledged calls: " + first_mismatch;
}

// Runs `kills` kill points over fresh databases of `rounds` kills each. Returns the failures.
inline std::vector<std::string> run_kill_series(const std::string& root, std::uint64_t seed,
                                                int kills, int rounds) {
  std::vector<std::string> failures;
  std::mt19937_64 rng(seed);
  for (int done = 0; done < kills;) {
    const std::string dir = root + "/db";
    const std::string scratch = root + "/copy";
    std::filesystem::remove_all(dir);
    Round round{Model{}, Workload(rng()), {}};
    for (int r = 0; r < rounds && done < kills; ++r, ++done) {
      const KillResult k = fork_and_kill(dir, round, rng);
      if (!k.child_error.empty()) {
        failures.push_back("child failed: " + k.child_error);
        return failures;
      }
      const std::string failure = check_after_kill(dir, scratch, round, k.acked);
      if (!failure.empty()) {
        failures.push_back(failure);
        return failures;
      }
    }
  }
  return failures;
}

}  // namespace norvex::testing::crash
