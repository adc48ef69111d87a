// NorvaneEngine: one open database rooted in one local directory and mirrored to one storage
// backend. The engine has no locks of its own: the caller serialises writers against readers
// (const methods may run concurrently with each other; non-const methods need exclusive
// access). Expected failures throw norvex::Error (its text is shown to the user unchanged);
// violated internal invariants throw norvex::Fault.
//
// The work is split by concern: open.cpp (open, close, replay), write.cpp (write path and
// flush), records.cpp (get, delete, counts, listings, stats), search.cpp (exhaustive search),
// index.cpp (graph build and the search entry point).
//
// Durability: a write call is validated completely, then appended to wal.log, and only then
// applied to the id pool, the slot files and the metadata store; once it has returned it
// survives a killed process. A flush makes the live state durable with the reset of the log
// as its single commit point: the next id table and metadata (and, when deleted slots are
// squeezed out, the compacted slot files) are first staged complete under other names, then
// the log is reset, then the staged files are renamed into place. Open finishes a flush that
// was committed but not installed, drops one that was not committed, and replays every
// logged entry, in order, onto the committed state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/json.h"
#include "quantizer/prod.h"
#include "storage/backend.h"
#include "storage/dir_lock.h"
#include "storage/graph.h"
#include "storage/id_pool.h"
#include "storage/live_codes.h"
#include "storage/manifest.h"
#include "storage/metadata.h"
#include "storage/metric.h"
#include "storage/segment.h"
#include "storage/wal.h"

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

  // Flushes, trims the slot files to the slots in use and persists the manifest. The engine
  // stays usable.
  void close();

  // --- writes (exclusive access) ---------------------------------------------------------
  // Every vector argument must have exactly d finite components (an Error naming both
  // lengths otherwise); ids must be valid UTF-8 of at most 65535 bytes. A refused call has
  // changed nothing. A batch is validated whole (lengths, values, ids, modes, metadata)
  // before its first chunk is written; an I/O error part-way leaves the earlier chunks
  // applied.
  void write_vector_entry(const std::string& id, std::span<const double> vector,
                          const PropertyMap& properties,
                          const std::optional<std::string>& document);  // upsert
  void insert_with_document(const std::string& id, std::span<const double> vector,
                            const PropertyMap& properties,
                            const std::optional<std::string>& document);
  void update_with_document(const std::string& id, std::span<const double> vector,
                            const PropertyMap& properties,
                            const std::optional<std::string>& document);
  // may_flush false: see finish_write.
  void insert_many_with_mode(std::vector<BatchWriteItem> items, WriteMode mode,
                             bool may_flush = true);
  // Writes the pending entries as a segment and commits the live state (see above).
  void flush_wal_to_segment();

  // Returns whether the id existed. (`delete` is a C++ keyword.)
  bool delete_id(const std::string& id);
  // Deletes the live ids among `ids` (each once); returns how many.
  std::uint64_t delete_batch(const std::vector<std::string>& ids);
  std::uint64_t delete_where(const PropertyMap& filter);
  // Replaces the properties (when `properties` is not empty) and the document (when given).
  // Logged, so it survives a crash; the code and the graph index are untouched.
  void update_metadata_only(const std::string& id, const PropertyMap& properties,
                            const std::optional<std::string>& document);
  // Flushes, then builds the graph index over every live vector (nodes in the byte order of
  // their ids) and records it in the manifest. An empty database builds nothing and keeps
  // its index state. On error the previous index state stays, but no graph is loaded, so
  // searches are exhaustive until the next successful build.
  void create_index_with_params(std::uint64_t max_degree, std::uint64_t ef_construction,
                                std::uint64_t search_list_size, double alpha,
                                std::uint64_t n_refinements);
  // The same with the graph build's knobs, for tests and benchmarks (a fixed seed makes the
  // build repeatable).
  void create_index_with_options(std::uint64_t max_degree, std::uint64_t ef_construction,
                                 std::uint64_t search_list_size, double alpha,
                                 std::uint64_t n_refinements, const GraphBuildOptions& options);

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

  // The single search entry: the graph when asked for and usable, else exhaustive. The query
  // must have d finite components (an Error otherwise). At most k results, best first.
  std::vector<SearchResult> search_with_filter_and_ann(
      std::span<const double> query, std::uint64_t k, const std::optional<PropertyMap>& filter,
      std::optional<std::uint64_t> search_list_size, bool use_ann) const;
  // Scores every live slot (or the given candidate slots, which must be below the slot
  // count) against the query as given (length d), keeps the best 10 * top_k (top_k without
  // reranking), reranks them, and returns the best top_k. Equal scores keep slot order.
  std::vector<SearchResult> exhaustive_search_simd(
      std::span<const double> query, std::uint64_t top_k, const std::optional<PropertyMap>& filter,
      const std::vector<std::uint32_t>* candidates) const;

  std::uint64_t dimension() const;
  DistanceMetric metric() const;
  const std::string& local_dir() const;

  // --- slot readers shared by the searches and the graph build (shared access) ----------
  // The code record of a slot: n unpacked indices, the sign bytes (borrowed from the
  // mapping, valid while the caller holds shared access), gamma and the stored norm.
  struct SlotCode {
    std::vector<std::uint16_t> mse_indices;
    ByteView qjl_bits;
    float gamma = 0.0f;
    float norm = 0.0f;
  };
  SlotCode live_codes_at_slot(std::uint32_t slot) const;
  // The raw vector of a slot widened to f64; d zeros when raw vectors are not kept.
  std::vector<double> live_raw_vector_at_slot(std::uint32_t slot) const;
  // out[i] = score_vectors_with_metric(metric, query, live_raw_vector_at_slot(slots[i])), the
  // same bits, several vectors per pass and without a vector per slot.
  void score_raw_vectors(std::span<const double> query, std::span<const std::uint32_t> slots,
                         std::span<double> out) const;
  // The exact score of each slot for reranking: from its raw vector when raw vectors are kept,
  // else from the vector reconstructed from its code and scaled by its stored norm.
  void rerank_scores(std::span<const double> query, std::span<const std::uint32_t> slots,
                     std::span<double> out) const;
  // Search results for the slots, in their order, with ids and metadata attached.
  std::vector<SearchResult> results_for(std::span<const std::uint32_t> slots,
                                        std::span<const double> scores) const;
  bool has_raw_vectors() const { return raw_vectors_.has_value(); }

 private:
  NorvaneEngine();

  // A vector ready to be logged and applied: its code and the raw record kept for reranking.
  struct EncodedVector {
    std::vector<float> raw;  // the vector as stored in live_vectors.bin (d components)
    float norm = 0.0f;       // the stored norm
    quantizer::Code code;
  };
  // A logged write not yet flushed: what its segment record needs, and its log frame, written
  // again when the log has to be started over.
  struct PendingEntry {
    std::string id;
    bool is_deleted = false;
    Bytes frame;
  };
  // Where each write lands: an existing slot, or a new one the id pool hands out next.
  struct SlotPlan {
    std::uint32_t slot = 0;
    bool is_new = false;
  };

  // open.cpp
  void create_database(const OpenOptions& options);
  void recover_staged_files(bool log_has_entries);
  void restore_from_backend(const char* name);
  void open_slot_files();
  void check_loaded_state();
  void start_rebuild();
  void check_index_ids();
  void apply_replayed(const WalEntry& entry);

  // write.cpp
  std::vector<float> checked_vector(std::span<const double> vector, const char* what) const;
  std::vector<float> checked_vector(std::span<const float> vector, const char* what) const;
  void check_id(const std::string& id) const;
  static void check_room_for_new_id(std::uint64_t slot_count, std::uint64_t id_bytes);
  std::vector<EncodedVector> encode_vectors(std::vector<std::vector<float>> vectors) const;
  // Moves the code out of v.
  WalEntry make_entry(const std::string& id, EncodedVector& v,
                      std::string metadata_json) const;
  // Allocates the slots of new ids in both slot files and writes their raw vectors, before
  // the log append: a replayed insert then always finds its raw vector. Undone by
  // rollback_new_slots when the append fails.
  void reserve_new_slots(const std::vector<SlotPlan>& plans,
                         const std::vector<const EncodedVector*>& vectors);
  void rollback_new_slots(std::uint64_t slot_count);
  // Applies one logged upsert to the id pool and the slot files; returns the slot.
  std::uint32_t apply_code(const std::string& id, const WalEntry& entry);
  void write_code_record(std::uint32_t slot, const WalEntry& entry);
  void write_raw_vector(std::uint32_t slot, std::span<const float> raw);
  // The raw record of an existing slot is overwritten only after the log append, so the log
  // entry of such an update carries the raw vector (under a key the metadata reader ignores)
  // and replay redoes the overwrite. Returns `metadata_json` with the vector added.
  std::string with_logged_raw_vector(std::string metadata_json, std::span<const float> raw) const;
  void redo_logged_raw_vector(std::uint32_t slot, const std::string& metadata_json);
  void mark_slot_deleted(std::uint32_t slot);
  // Appends the entries to the log and to the pending buffer. Called once they are known to
  // apply (the application that follows cannot fail).
  void append_log(const std::vector<WalEntry>& entries);
  // may_flush false leaves the threshold check to a later call (the binding splits one batch
  // into several calls; the batch is compared once, after its last).
  void finish_write(bool vectors_changed, bool may_flush = true);
  void check_writable() const;

  // Graph index lifetime: drops the index in memory; the manifest is rewritten at once
  // when it still describes a usable index (the vector set no longer matches it).
  void invalidate_index();
  void maybe_persist_state(bool force);
  void persist_manifest();

  // flush (write.cpp)
  struct StagedFlush;
  void stage_durable_state(StagedFlush& staged);
  void discard_staged(StagedFlush& staged);
  void install_staged(StagedFlush& staged);
  void mirror_live_files();

  // records.cpp
  // Every live slot in ascending order (the slots IdPool::iter_active lists).
  std::vector<std::uint32_t> live_slots() const;
  // The slots, in order, whose metadata exists and matches the filter.
  std::vector<std::uint32_t> filter_slots(std::vector<std::uint32_t> slots,
                                          const PropertyMap& filter) const;
  std::vector<std::string> ids_of(const std::vector<std::uint32_t>& slots) const;
  std::uint64_t delete_ids(const std::vector<std::string>& ids);

  // The graph index (open.cpp). Usable when the manifest has an index state, the node list
  // is not empty and matches it, and the graph is loaded with at least one node.
  void open_graph();
  std::uint64_t graph_node_count() const;
  bool index_usable() const;
  GraphSimilarity graph_similarity(const std::vector<std::uint32_t>& slots) const;
  std::vector<SearchResult> graph_search(const std::vector<double>& query, std::uint64_t k,
                                         const std::optional<PropertyMap>& filter,
                                         std::uint64_t search_list_size) const;

  std::string path(const char* name) const;

  // Declared first, so that it is released last, after every file of the directory is closed.
  std::shared_ptr<DirLock> dir_lock_;
  Manifest manifest_;
  std::optional<GraphManager> graph_;
  std::optional<LiveCodesFile> codes_;
  std::optional<LiveCodesFile> raw_vectors_;
  std::shared_ptr<const quantizer::ProdQuantizer> quantizer_;
  std::optional<Wal> wal_;
  std::vector<PendingEntry> pending_;
  std::optional<SegmentManager> segments_;
  std::optional<MetadataStore> metadata_;
  std::string local_dir_;
  std::vector<std::uint32_t> index_ids_;
  IdPool id_pool_;
  std::shared_ptr<StorageBackend> backend_;
  std::uint64_t d_ = 0;
  std::uint64_t b_ = 0;
  std::uint64_t wal_flush_threshold_ = 5000;
  bool rerank_ = true;
  bool index_ids_dirty_ = false;
  bool slot_compaction_pending_ = false;
  bool normalize_ = false;
  DistanceMetric metric_ = DistanceMetric::kIp;
  RerankPrecision raw_precision_ = RerankPrecision::kDisabled;
  std::uint64_t code_slot_size_ = 0;
  std::uint64_t raw_slot_size_ = 0;
  std::size_t packed_bytes_ = 0;  // packed scalar indices per record
  std::size_t qjl_bytes_ = 0;     // sign bytes per record
  // Set when a flush failed after its commit point: the files on disk are ahead of memory,
  // so writes are refused until the database is reopened (which completes the flush).
  std::optional<std::string> broken_;
};

}  // namespace norvex::storage::engine
