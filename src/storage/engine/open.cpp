// Opening and closing a database: creating or validating the manifest and the quantizer,
// finishing or dropping an interrupted flush, loading every component, checking that the
// files agree with each other, and replaying the log onto the last committed state.
#include <string>
#include <utility>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/compaction.h"
#include "storage/dir_lock.h"
#include "storage/engine/engine.h"
#include "storage/engine/internal.h"
#include "storage/quantizer_state.h"

namespace norvex::storage::engine {

using namespace internal;

namespace {

// Validation of a loaded manifest against the caller's parameters.
void validate_manifest(const Manifest& m, const OpenOptions& o) {
  if (m.d != o.d) {
    throw Error("dimension mismatch: manifest has d=" + std::to_string(m.d) +
                ", requested d=" + std::to_string(o.d));
  }
  if (m.b != o.b) {
    throw Error("bits mismatch: manifest has b=" + std::to_string(m.b) +
                ", requested b=" + std::to_string(o.b));
  }
  if (m.metric != o.metric) {
    throw Error(std::string("metric mismatch: manifest has ") + metric_display(m.metric) +
                ", requested " + metric_display(o.metric));
  }
}

// Reads the manifest from the local directory, else from the backend; nothing when neither
// has one (a new database).
std::optional<Manifest> find_manifest(const std::string& local_path,
                                      const StorageBackend& backend) {
  if (path_exists(local_path)) return Manifest::load(local_path);
  Bytes bytes;
  try {
    bytes = backend.read(kManifestFile);
  } catch (const Error&) {
    return std::nullopt;
  }
  return Manifest::decode(as_chars(bytes));
}

}  // namespace

NorvaneEngine::NorvaneEngine() = default;
NorvaneEngine::~NorvaneEngine() = default;

std::string NorvaneEngine::path(const char* name) const { return join_path(local_dir_, name); }

std::uint64_t NorvaneEngine::dimension() const { return d_; }
DistanceMetric NorvaneEngine::metric() const { return metric_; }
const std::string& NorvaneEngine::local_dir() const { return local_dir_; }

std::unique_ptr<NorvaneEngine> NorvaneEngine::open_with_options(const OpenOptions& o) {
  std::unique_ptr<NorvaneEngine> e(new NorvaneEngine());
  // A NUL byte would cut the path short in the system calls: the files would land elsewhere.
  if (o.local_dir.find('\0') != std::string::npos || o.uri.find('\0') != std::string::npos) {
    throw Error("database path contains a NUL byte");
  }
  create_dirs(o.local_dir);
  // Before anything is read: another process writing the directory would corrupt it.
  e->dir_lock_ = DirLock::acquire(o.local_dir);
  e->local_dir_ = o.local_dir;
  e->backend_ = StorageBackend::from_uri(o.uri);

  std::optional<Manifest> loaded = find_manifest(e->path(kManifestFile), *e->backend_);
  if (loaded) {
    validate_manifest(*loaded, o);
    auto q =
        std::make_shared<quantizer::ProdQuantizer>(load_quantizer_state(o.local_dir, *e->backend_));
    if (q->d != loaded->d || q->b != loaded->b) {
      throw Error("quantizer.bin does not match manifest.json (quantizer has d=" +
                  std::to_string(q->d) + ", b=" + std::to_string(q->b) + ")");
    }
    e->quantizer_ = std::move(q);
    e->manifest_ = std::move(*loaded);
    if (!path_exists(e->path(kManifestFile))) e->persist_manifest();
  } else {
    e->create_database(o);
  }

  const Manifest& m = e->manifest_;
  e->d_ = m.d;
  e->b_ = m.b;
  e->metric_ = m.metric;
  e->rerank_ = m.rerank_enabled;
  e->normalize_ = o.normalize || m.normalize;
  e->wal_flush_threshold_ = o.wal_flush_threshold.value_or(kDefaultFlushThreshold);
  e->packed_bytes_ = e->quantizer_->packed_mse_bytes();
  e->qjl_bytes_ = e->quantizer_->qjl_bytes();
  e->code_slot_size_ = code_slot_size(m.d, m.b);
  NVX_CHECK(e->code_slot_size_ == e->packed_bytes_ + e->qjl_bytes_ + 9,
            "code slot size disagrees with the quantizer");

  Compactor(e->backend_).recover_if_needed();

  // The log decides the fate of a flush that was interrupted: it is committed once the log
  // holds no entry.
  std::vector<WalEntry> entries = Wal::replay(e->path(kWalFile), e->quantizer_.get());
  e->recover_staged_files(!entries.empty());

  e->wal_.emplace(Wal::open(e->path(kWalFile)));
  e->wal_->set_quantizer(e->quantizer_);
  e->segments_.emplace(SegmentManager::open(e->backend_));
  e->restore_from_backend(kMetadataFile);
  e->metadata_.emplace(MetadataStore::open(e->path(kMetadataFile)));
  e->open_graph();
  e->open_slot_files();
  try {
    e->index_ids_ = load_index_ids(o.local_dir);
  } catch (const Error&) {
    e->index_ids_.clear();  // a damaged list only disables the index
  }

  const bool pool_missing = !path_exists(e->path(kIdsFile)) && !e->backend_->exists(kIdsFile);
  if (!pool_missing) {
    e->id_pool_ = load_id_pool(o.local_dir, *e->backend_);
    e->check_loaded_state();
  } else if (entries.empty()) {
    if (e->codes_->len() != 0) {
      throw Error("live_ids.bin missing and WAL is empty; database state appears corrupt");
    }
  } else {
    e->start_rebuild();
  }

  e->check_index_ids();
  for (const WalEntry& entry : entries) e->apply_replayed(entry);
  e->slot_compaction_pending_ = e->id_pool_.live_count() < e->id_pool_.slot_count();
  e->manifest_.vector_count = e->id_pool_.live_count();
  if (!entries.empty()) {
    // Flushed at once (or open fails): their frames would never be written again.
    for (const WalEntry& entry : entries) {
      e->pending_.push_back({entry.id, entry.is_deleted, {}});
    }
    e->flush_wal_to_segment();
  } else {
    // A log without entries starts afresh as a bare header of the current version: anything
    // after the header (a torn first frame) would hide every later append from the next
    // replay, and an old version's header would misread the new frames.
    e->wal_->reset();
  }
  return e;
}

void NorvaneEngine::create_database(const OpenOptions& o) {
  if (o.d == 0) throw Error("dimension must be at least 1");
  auto q = std::make_shared<quantizer::ProdQuantizer>(
      quantizer::ProdQuantizer::create(o.d, o.b, o.seed, o.fast_mode));

  Manifest m;
  m.version = 2;
  m.d = o.d;
  m.b = o.b;
  m.seed = o.seed;
  m.vector_count = 0;
  m.storage_uri = o.uri;
  m.metric = o.metric;
  m.index_state.reset();
  m.fast_mode = o.fast_mode;
  m.rerank_enabled = o.rerank;
  m.rerank_precision = o.rerank_precision;
  m.normalize = o.normalize;

  save_quantizer_state(*q, local_dir_, *backend_);
  // An empty id table from the start: a missing live_ids.bin then always means damage, and a
  // new database killed before its first flush keeps its raw vectors.
  if (!path_exists(path(kIdsFile))) {
    const Bytes empty = IdPool().encode();
    write_file(path(kIdsFile), empty);
    backend_->mirror(kIdsFile, path(kIdsFile), empty);
  }
  if (o.rerank_precision != RerankPrecision::kDisabled && !path_exists(path(kRawFile))) {
    write_file(path(kRawFile), {});
    backend_->mirror(kRawFile, path(kRawFile), {});
  }
  quantizer_ = std::move(q);
  manifest_ = std::move(m);
  // The manifest is written last: it marks the database as created.
  persist_manifest();
}

void NorvaneEngine::recover_staged_files(bool log_has_entries) {
  const std::pair<const char*, const char*> staged[] = {{kCodesStaged, kCodesFile},
                                                        {kRawStaged, kRawFile},
                                                        {kMetadataStaged, kMetadataFile},
                                                        {kIdsStaged, kIdsFile}};
  const bool committed = !log_has_entries && path_exists(path(kIdsStaged));
  for (const auto& [from, to] : staged) {
    if (!path_exists(path(from))) continue;
    if (committed) {
      rename_file(path(from), path(to));
    } else {
      remove_file(path(from));
    }
  }
}

void NorvaneEngine::open_graph() { graph_.emplace(GraphManager::open(backend_, local_dir_)); }

std::uint64_t NorvaneEngine::graph_node_count() const {
  return graph_ && graph_->is_loaded() ? graph_->node_count() : 0;
}

bool NorvaneEngine::index_usable() const {
  // The last condition keeps every node the graph can name within index_ids.
  return manifest_.index_state.has_value() && !index_ids_.empty() && graph_node_count() > 0 &&
         manifest_.index_state->indexed_nodes == index_ids_.size() &&
         graph_node_count() == index_ids_.size();
}

void NorvaneEngine::restore_from_backend(const char* name) {
  const std::string p = path(name);
  if (path_exists(p) || !backend_->needs_mirror(name, p) || !backend_->exists(name)) return;
  write_file(p, backend_->read(name));
}

void NorvaneEngine::open_slot_files() {
  restore_from_backend(kCodesFile);
  codes_.emplace(LiveCodesFile::open(path(kCodesFile), code_slot_size_));
  raw_precision_ = manifest_.rerank_precision;
  raw_slot_size_ = raw_slot_size(d_, raw_precision_);
  if (manifest_.rerank_enabled && raw_precision_ != RerankPrecision::kDisabled) {
    restore_from_backend(kRawFile);
    if (path_exists(path(kRawFile))) {
      raw_vectors_.emplace(LiveCodesFile::open(path(kRawFile), raw_slot_size_));
      raw_vectors_->advise_random();
    }
  }
}

void NorvaneEngine::check_loaded_state() {
  const std::uint64_t slots = id_pool_.slot_count();
  auto check_file = [&](const LiveCodesFile& f, const char* name) {
    if (f.capacity() < slots) {
      throw Error(std::string(name) + " holds " + std::to_string(f.capacity()) +
                  " slots but live_ids.bin has " + std::to_string(slots) +
                  "; the database directory is damaged");
    }
  };
  check_file(*codes_, kCodesFile);
  codes_->set_len(slots);
  if (raw_vectors_) {
    check_file(*raw_vectors_, kRawFile);
    raw_vectors_->set_len(slots);
  }
}

void NorvaneEngine::check_index_ids() {
  // The index maps graph nodes to distinct live slots, one per node: a list that disagrees
  // with the graph or the manifest, or names a slot that is outside the slot files, deleted
  // or named twice, makes the index unusable (searches go exhaustive).
  bool usable = index_usable();
  std::vector<std::uint8_t> seen(usable ? id_pool_.slot_count() : 0, 0);
  for (std::size_t i = 0; usable && i < index_ids_.size(); ++i) {
    const std::uint32_t slot = index_ids_[i];
    usable = id_pool_.is_alive(slot) && seen[slot] == 0;
    if (usable) seen[slot] = 1;
  }
  if (!usable) invalidate_index();
}

void NorvaneEngine::start_rebuild() {
  // live_ids.bin is gone: rebuild the live state from the log alone. The slot numbers start
  // again from 0, so the old codes, raw vectors and metadata mean nothing any more.
  codes_->clear();
  if (raw_vectors_) {
    raw_vectors_.reset();
    try {
      remove_file(path(kRawFile));
    } catch (const Error&) {
      // Without the file the database runs without raw vectors either way.
    }
  }
  metadata_->clear();
  id_pool_ = IdPool();
}

void NorvaneEngine::apply_replayed(const WalEntry& entry) {
  if (entry.is_deleted) {
    if (const auto slot = id_pool_.get_slot(entry.id)) {
      id_pool_.delete_by_id(entry.id);
      mark_slot_deleted(*slot);
      invalidate_index();
    }
    return;
  }
  if (entry.mse_indices.empty()) {  // a metadata-only update
    if (const auto slot = id_pool_.get_slot(entry.id)) {
      try {
        metadata_->put(*slot, VectorMetadata::from_json(entry.metadata_json));
      } catch (const Error&) {
        // An undecodable record keeps the metadata as it was.
      }
    }
    return;
  }
  if (entry.mse_indices.size() != quantizer_->n || entry.qjl_bits.size() != qjl_bytes_) {
    throw Error("wal.log holds an entry for id '" + entry.id +
                "' whose code does not fit this database");
  }
  check_id(entry.id);
  const std::uint32_t slot = apply_code(entry.id, entry);
  redo_logged_raw_vector(slot, entry.metadata_json);
  try {
    metadata_->put(slot, VectorMetadata::from_json(entry.metadata_json));
  } catch (const Error&) {
  }
  invalidate_index();
}

void NorvaneEngine::close() {
  check_writable();
  flush_wal_to_segment();
  // The slot files grow in large steps; trim them to the slots in use.
  const std::uint64_t slots = id_pool_.slot_count();
  codes_->truncate_to(slots);
  if (raw_vectors_) raw_vectors_->truncate_to(slots);
  mirror_live_files();
  manifest_.vector_count = id_pool_.live_count();
  maybe_persist_state(true);
}

}  // namespace norvex::storage::engine
