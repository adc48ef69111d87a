// NorvaneEngine: one open database rooted in one local directory and mirrored to one storage
// backend. The engine has no locks of its own: the caller serialises writers against readers
// (const methods may run concurrently with each other; non-const methods need exclusive
// access). Expected failures throw norvex::Error (its text is shown to the user unchanged);
// violated internal invariants throw norvex::Fault.
//
// The work is split by concern: open.cpp (open, close, replay), write.cpp (write path and
// flush), records.cpp (get, delete, counts, listings, stats), search.cpp (exhaustive search),
// index.cpp (graph build and the search entry point).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/json.h"
#include "storage/metadata.h"
#include "storage/metric.h"

namespace norvex::storage::engine {

struct OpenOptions {
  std::string uri;        // storage URI (the binding passes the local directory itself)
  std::string local_dir;  // the database directory
  std::uint64_t d = 0;
  std::uint64_t b = 4;
  std::uint64_t seed = 42;
  DistanceMetric metric = DistanceMetric::kIp;
  bool rerank = true;
  bool fast_mode = false;
  RerankPrecision rerank_precision = RerankPrecision::kDisabled;
  std::optional<std::uint64_t> wal_flush_threshold;  // default 5000
  bool normalize = false;
};

// Batch write modes.
enum class WriteMode : std::uint8_t { kInsert = 0, kUpsert = 1, kUpdate = 2 };

struct BatchWriteItem {
  std::string id;
  std::vector<float> vector;  // d components
  PropertyMap properties;
  std::optional<std::string> document;
};

struct SearchResult {
  std::string id;  // empty if the slot no longer has a live id
  double score = 0.0;
  VectorMetadata metadata;
};

struct GetResult {
  std::string id;
  VectorMetadata metadata;
};

struct EngineStats {
  std::uint64_t vector_count = 0;
  std::uint64_t segment_count = 0;
  std::uint64_t buffered_vectors = 0;
  std::uint64_t dimension = 0;
  std::uint64_t bits = 0;
  std::uint64_t total_disk_bytes = 0;
  bool has_index = false;
  std::uint64_t index_nodes = 0;
  std::uint64_t live_codes_bytes = 0;
  std::uint64_t live_slot_count = 0;
  std::uint64_t live_id_count = 0;
  std::uint64_t live_vectors_count = 0;
  std::uint64_t live_vectors_bytes_estimate = 0;
  std::uint64_t metadata_entries = 0;
  std::uint64_t metadata_bytes_estimate = 0;
  std::uint64_t ann_slot_count = 0;
  std::uint64_t graph_nodes = 0;
};

class NorvaneEngine {
 public:
  // Creates a new database or opens and validates an existing one, repairs what an
  // interrupted run left behind (replaying the log) and loads every component.
  static std::unique_ptr<NorvaneEngine> open_with_options(const OpenOptions& options);

  ~NorvaneEngine();
  NorvaneEngine(const NorvaneEngine&) = delete;
  NorvaneEngine& operator=(const NorvaneEngine&) = delete;

  // Flushes, trims the slot files and persists everything. The engine stays usable.
  void close();

  // --- writes (exclusive access) ---------------------------------------------------------
  // Every vector argument must have exactly d components (an Error naming both lengths
  // otherwise, before anything is logged or written).
  void write_vector_entry(const std::string& id, std::span<const double> vector,
                          const PropertyMap& properties,
                          const std::optional<std::string>& document);  // upsert
  void insert_with_document(const std::string& id, std::span<const double> vector,
                            const PropertyMap& properties,
                            const std::optional<std::string>& document);
  void update_with_document(const std::string& id, std::span<const double> vector,
                            const PropertyMap& properties,
                            const std::optional<std::string>& document);
  void insert_many_with_mode(std::vector<BatchWriteItem> items, WriteMode mode);
  void flush_wal_to_segment();

  // Returns whether the id existed. (`delete` is a C++ keyword.)
  bool delete_id(const std::string& id);
  std::uint64_t delete_batch(const std::vector<std::string>& ids);
  std::uint64_t delete_where(const PropertyMap& filter);
  void update_metadata_only(const std::string& id, const PropertyMap& properties,
                            const std::optional<std::string>& document);
  void create_index_with_params(std::uint64_t max_degree, std::uint64_t ef_construction,
                                std::uint64_t search_list_size, double alpha,
                                std::uint64_t n_refinements);

  // --- reads (shared access) -------------------------------------------------------------
  std::optional<GetResult> get(const std::string& id) const;
  std::vector<std::optional<GetResult>> get_many(const std::vector<std::string>& ids) const;
  std::uint64_t count_with_filter(const std::optional<PropertyMap>& filter) const;
  std::vector<std::string> list_with_filter_page(const std::optional<PropertyMap>& filter,
                                                 std::optional<std::uint64_t> limit,
                                                 std::uint64_t offset) const;
  std::unordered_map<std::string, std::uint64_t> list_metadata_values(
      const std::string& field) const;
  // Every live id in ascending slot order.
  std::vector<std::string> list_all_ids() const;
  EngineStats stats() const;

  // The single search entry: the graph when asked for and usable, else exhaustive.
  std::vector<SearchResult> search_with_filter_and_ann(
      std::span<const double> query, std::uint64_t k, const std::optional<PropertyMap>& filter,
      std::optional<std::uint64_t> search_list_size, bool use_ann) const;
  std::vector<SearchResult> exhaustive_search_simd(
      std::span<const double> query, std::uint64_t top_k, const std::optional<PropertyMap>& filter,
      const std::vector<std::uint32_t>* candidates) const;

  std::uint64_t dimension() const;
  DistanceMetric metric() const;
  const std::string& local_dir() const;

 private:
  NorvaneEngine();
  // The engine's state is declared here by the engine's implementation.
};

}  // namespace norvex::storage::engine
