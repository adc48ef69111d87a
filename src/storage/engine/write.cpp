// The write path: single and batch vector writes, the record writers of the slot files, and
// the flush that turns the pending log entries into a segment and commits the live state.
//
// Every write is validated completely (lengths, finite values, ids, metadata encoding)
// before anything is logged. Then it is appended to the log (the moment it becomes durable),
// and only then applied to the id pool, the slot files and the metadata store, in ways that
// cannot fail. Opening the database replays the log onto the last committed state in the
// same way, so an acknowledged write survives a killed process.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "common/error.h"
#include "common/file_util.h"
#include "common/half_bulk.h"
#include "common/thread_pool.h"
#include "storage/encoding.h"
#include "storage/engine/engine.h"
#include "storage/engine/internal.h"
#include "storage/quantizer_state.h"

namespace norvex::storage::engine {

using namespace internal;

namespace {

std::string already_exists(const std::string& id) { return "ID '" + id + "' already exists"; }
std::string does_not_exist(const std::string& id) { return "ID '" + id + "' does not exist"; }

// The f32 sum of squares, as the stored norm is computed.
float f32_norm(std::span<const float> v) {
  float sum = 0.0f;
  for (float x : v) sum += x * x;
  return std::sqrt(sum);
}

// A vector as it enters the encoder: `unit` is encoded; `raw` is kept for reranking.
struct Prepared {
  std::vector<float> raw;
  std::vector<float> unit;
  float norm = 0.0f;
};

Prepared prepare_vector(std::vector<float> v, bool normalize) {
  const float norm = f32_norm(v);
  Prepared p;
  p.unit = v;
  if (norm > kMinNorm) {
    for (float& x : p.unit) x /= norm;
  }
  p.norm = normalize ? 1.0f : norm;
  p.raw = normalize ? p.unit : std::move(v);
  return p;
}

}  // namespace

// --- validation --------------------------------------------------------------------------

void NorvaneEngine::check_writable() const {
  // A child created by fork() shares the parent's files; only the parent may write them.
  dir_lock_->check_owner();
  if (broken_) {
    throw Error("a flush failed after it was committed (" + *broken_ +
                "); reopen the database to complete it");
  }
}

namespace {

template <typename T>
std::vector<float> checked_components(std::span<const T> vector, std::size_t d, const char* what) {
  if (vector.size() != d) {
    throw Error(std::string(what) + " dimension mismatch: expected " + std::to_string(d) +
                ", got " + std::to_string(vector.size()));
  }
  std::vector<float> out(vector.size());
  // Components below 2^40 in magnitude (NaN fails the comparison) cannot make the sum of
  // squares overflow at any dimension we accept: a branch-free pass suffices for them.
  constexpr float kSafe = 1099511627776.0f;
  bool all_safe = true;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    out[i] = static_cast<float>(vector[i]);
    all_safe &= std::fabs(out[i]) < kSafe;
  }
  if (all_safe) return out;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(out[i])) {
      throw Error(std::string(what) + " component " + std::to_string(i) +
                  " is not a finite 32-bit float");
    }
  }
  if (!std::isfinite(f32_norm(out))) {
    throw Error(std::string(what) + " norm overflows a 32-bit float");
  }
  return out;
}

}  // namespace

std::vector<float> NorvaneEngine::checked_vector(std::span<const double> vector,
                                                 const char* what) const {
  return checked_components(vector, d_, what);
}

std::vector<float> NorvaneEngine::checked_vector(std::span<const float> vector,
                                                 const char* what) const {
  return checked_components(vector, d_, what);
}

void NorvaneEngine::check_room_for_new_id(std::uint64_t slot_count, std::uint64_t id_bytes) {
  // What the id pool would refuse, found before the write is logged.
  if (id_bytes >= kMaxIdBufferBytes) throw Error(kIdBufferFull);
  if (slot_count > std::numeric_limits<std::uint32_t>::max()) {
    throw Error("slot numbers exhausted; flush to compact the database");
  }
}

void NorvaneEngine::check_id(const std::string& id) const {
  // The id pool refuses these too, but only after the write would have been logged.
  if (id.size() > kMaxIdBytes) {
    throw Error("id is too long (" + std::to_string(id.size()) + " bytes, max " +
                std::to_string(kMaxIdBytes) + ")");
  }
  if (!is_valid_utf8(id)) throw Error("id is not valid UTF-8");
}

// --- encoding ------------------------------------------------------------------------------

std::vector<NorvaneEngine::EncodedVector> NorvaneEngine::encode_vectors(
    std::vector<std::vector<float>> vectors) const {
  // One row per task: normalising and encoding are independent per row.
  return parallel_map<EncodedVector>(vectors.size(), kEncodeGrain, [&](std::size_t i) {
    Prepared p = prepare_vector(std::move(vectors[i]), normalize_);
    EncodedVector out;
    out.code = quantizer_->quantize(p.unit);
    out.raw = std::move(p.raw);
    out.norm = p.norm;
    return out;
  });
}

WalEntry NorvaneEngine::make_entry(const std::string& id, EncodedVector& v,
                                   std::string metadata_json) const {
  WalEntry e;
  e.id = id;
  e.mse_indices = std::move(v.code.mse_indices);
  e.qjl_bits = std::move(v.code.qjl_bits);
  e.gamma = static_cast<float>(v.code.gamma);
  e.norm = v.norm;
  e.metadata_json = std::move(metadata_json);
  e.is_deleted = false;
  return e;
}

// --- slot records ----------------------------------------------------------------------------

void NorvaneEngine::write_code_record(std::uint32_t slot, const WalEntry& entry) {
  const Bytes packed = quantizer_->pack_mse_indices(entry.mse_indices);
  NVX_CHECK(packed.size() == packed_bytes_ && entry.qjl_bits.size() == qjl_bytes_,
            "code record of id '" + entry.id + "' has the wrong size");
  std::span<std::uint8_t> rec = codes_->get_slot_mut(slot);
  NVX_CHECK(rec.size() == packed_bytes_ + qjl_bytes_ + 9, "code slot size mismatch");
  std::uint8_t* p = rec.data();
  std::memcpy(p, packed.data(), packed_bytes_);
  std::memcpy(p + packed_bytes_, entry.qjl_bits.data(), qjl_bytes_);
  store_le<float>(p + packed_bytes_ + qjl_bytes_, entry.gamma);
  store_le<float>(p + packed_bytes_ + qjl_bytes_ + 4, entry.norm);
  p[packed_bytes_ + qjl_bytes_ + 8] = 0;
}

namespace {
constexpr std::string_view kLoggedRawKey = "raw_f32";
constexpr char kHexDigits[] = "0123456789abcdef";
}  // namespace

std::string NorvaneEngine::with_logged_raw_vector(std::string metadata_json,
                                                  std::span<const float> raw) const {
  // The compact JSON of a VectorMetadata ends with its closing brace; the vector goes before it
  // as the hex of its little-endian f32 bytes.
  NVX_CHECK(!metadata_json.empty() && metadata_json.back() == '}', "metadata JSON not an object");
  metadata_json.pop_back();
  metadata_json += ",\"";
  metadata_json += kLoggedRawKey;
  metadata_json += "\":\"";
  for (float f : raw) {
    std::uint8_t bytes[4];
    store_le<float>(bytes, f);
    for (std::uint8_t b : bytes) {
      metadata_json.push_back(kHexDigits[b >> 4]);
      metadata_json.push_back(kHexDigits[b & 15]);
    }
  }
  metadata_json += "\"}";
  return metadata_json;
}

void NorvaneEngine::redo_logged_raw_vector(std::uint32_t slot, const std::string& metadata_json) {
  if (!raw_vectors_ || metadata_json.find(kLoggedRawKey) == std::string::npos) return;
  Json j;
  try {
    j = parse_json(metadata_json);
  } catch (const Error&) {
    return;
  }
  const auto it = j.find(kLoggedRawKey);
  if (it == j.end() || !it->is_string()) return;
  const std::string& hex = it->get_ref<const std::string&>();
  if (hex.size() != 8 * d_) return;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::vector<float> raw(d_);
  for (std::size_t i = 0; i < d_; ++i) {
    std::uint8_t bytes[4];
    for (std::size_t k = 0; k < 4; ++k) {
      const int hi = nibble(hex[8 * i + 2 * k]);
      const int lo = nibble(hex[8 * i + 2 * k + 1]);
      if (hi < 0 || lo < 0) return;
      bytes[k] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    raw[i] = load_le<float>(bytes);
    if (!std::isfinite(raw[i])) return;
  }
  write_raw_vector(slot, raw);
}

void NorvaneEngine::write_raw_vector(std::uint32_t slot, std::span<const float> raw) {
  if (!raw_vectors_) return;
  NVX_CHECK(raw.size() == d_, "raw vector length mismatch");
  std::span<std::uint8_t> rec = raw_vectors_->get_slot_mut(slot);
  if (raw_precision_ == RerankPrecision::kF16) {
    NVX_CHECK(rec.size() == 2 * d_, "raw slot size mismatch");
    floats_to_halves(raw.data(), raw.size(), rec.data());
  } else {
    NVX_CHECK(rec.size() == 4 * d_, "raw slot size mismatch");
    std::memcpy(rec.data(), raw.data(), 4 * d_);
  }
}

void NorvaneEngine::mark_slot_deleted(std::uint32_t slot) {
  std::span<std::uint8_t> rec = codes_->get_slot_mut(slot);
  rec[rec.size() - 1] = 1;
}

void NorvaneEngine::reserve_new_slots(const std::vector<SlotPlan>& plans,
                                      const std::vector<const EncodedVector*>& vectors) {
  const std::uint64_t before = id_pool_.slot_count();
  try {
    for (std::size_t i = 0; i < plans.size(); ++i) {
      if (!plans[i].is_new) continue;
      NVX_CHECK(codes_->alloc_slot() == plans[i].slot, "code slot out of step with the id pool");
      if (raw_vectors_) {
        NVX_CHECK(raw_vectors_->alloc_slot() == plans[i].slot,
                  "raw slot out of step with the id pool");
      }
    }
    // The files no longer grow: each new slot is written by one task.
    if (raw_vectors_) {
      parallel_for(plans.size(), kEncodeGrain, [&](std::size_t i) {
        if (plans[i].is_new) write_raw_vector(plans[i].slot, vectors[i]->raw);
      });
    }
  } catch (const Error&) {
    rollback_new_slots(before);
    throw;
  }
}

void NorvaneEngine::rollback_new_slots(std::uint64_t slot_count) {
  for (auto* file : {&*codes_, raw_vectors_ ? &*raw_vectors_ : nullptr}) {
    if (file == nullptr) continue;
    // A failed growth leaves the file unmapped; map it again for the records in use.
    if (!file->is_mapped() && file->capacity() > 0) file->remap();
    file->set_len(slot_count);
  }
}

std::uint32_t NorvaneEngine::apply_code(const std::string& id, const WalEntry& entry) {
  if (const auto slot = id_pool_.get_slot(id)) {
    write_code_record(*slot, entry);
    return *slot;
  }
  const std::uint32_t slot = id_pool_.insert(id);
  if (codes_->len() <= slot) {
    // Not reserved by the caller (replay): allocate here.
    NVX_CHECK(codes_->alloc_slot() == slot, "code slot out of step with the id pool");
    if (raw_vectors_) {
      NVX_CHECK(raw_vectors_->alloc_slot() == slot, "raw slot out of step with the id pool");
    }
  }
  write_code_record(slot, entry);
  return slot;
}

void NorvaneEngine::append_log(const std::vector<WalEntry>& entries) {
  std::vector<Bytes> frames = wal_->frames(entries);
  // wal.log was removed or replaced while open: appends to the old file would survive no
  // crash. Start a new log that holds every entry since the last flush first.
  if (wal_->detached()) {
    wal_->reset();
    std::vector<ByteView> earlier;
    earlier.reserve(pending_.size());
    for (const PendingEntry& p : pending_) earlier.emplace_back(p.frame);
    wal_->append_frames(earlier, false);
  }
  std::vector<ByteView> views(frames.begin(), frames.end());
  wal_->append_frames(views, false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    pending_.push_back({entries[i].id, entries[i].is_deleted, std::move(frames[i])});
  }
}

// --- index lifetime and persisted state ---------------------------------------------------

void NorvaneEngine::invalidate_index() {
  if (!manifest_.index_state && index_ids_.empty()) return;
  index_ids_.clear();
  manifest_.index_state.reset();
  index_ids_dirty_ = true;
  maybe_persist_state(false);
}

void NorvaneEngine::maybe_persist_state(bool force) {
  if (!force && !index_ids_dirty_) return;
  if (index_ids_dirty_) {
    save_index_ids(index_ids_, local_dir_, *backend_);
    index_ids_dirty_ = false;
  }
  persist_manifest();
}

void NorvaneEngine::persist_manifest() {
  storage::persist_manifest(manifest_, local_dir_, *backend_);
}

void NorvaneEngine::finish_write(bool vectors_changed, bool may_flush) {
  if (vectors_changed) invalidate_index();
  manifest_.vector_count = id_pool_.live_count();
  if (may_flush && pending_.size() >= wal_flush_threshold_) flush_wal_to_segment();
}

// --- single writes -------------------------------------------------------------------------

void NorvaneEngine::write_vector_entry(const std::string& id, std::span<const double> vector,
                                       const PropertyMap& properties,
                                       const std::optional<std::string>& document) {
  check_writable();
  check_id(id);
  std::vector<float> v = checked_vector(vector, "vector");
  VectorMetadata metadata{properties, document};
  std::string json = metadata.to_json();

  std::vector<std::vector<float>> one;
  one.push_back(std::move(v));
  EncodedVector encoded = std::move(encode_vectors(std::move(one))[0]);
  std::vector<WalEntry> entries;
  entries.push_back(make_entry(id, encoded, std::move(json)));

  const std::uint64_t slot_count = id_pool_.slot_count();
  SlotPlan plan;
  if (const auto slot = id_pool_.get_slot(id)) {
    plan = {*slot, false};
  } else {
    check_room_for_new_id(slot_count, id_pool_.byte_count());
    plan = {static_cast<std::uint32_t>(slot_count), true};
  }
  if (!plan.is_new && raw_vectors_) {
    entries[0].metadata_json =
        with_logged_raw_vector(std::move(entries[0].metadata_json), encoded.raw);
  }
  reserve_new_slots({plan}, {&encoded});
  try {
    append_log(entries);
  } catch (const Error&) {
    if (plan.is_new) rollback_new_slots(slot_count);
    throw;
  }

  const std::uint32_t slot = apply_code(id, entries[0]);
  NVX_CHECK(slot == plan.slot, "id pool handed out an unexpected slot");
  if (!plan.is_new) write_raw_vector(slot, encoded.raw);
  metadata_->put(slot, std::move(metadata));
  finish_write(true);
}

void NorvaneEngine::insert_with_document(const std::string& id, std::span<const double> vector,
                                         const PropertyMap& properties,
                                         const std::optional<std::string>& document) {
  check_writable();
  if (id_pool_.get_slot(id)) throw Error(already_exists(id));
  write_vector_entry(id, vector, properties, document);
}

void NorvaneEngine::update_with_document(const std::string& id, std::span<const double> vector,
                                         const PropertyMap& properties,
                                         const std::optional<std::string>& document) {
  check_writable();
  if (!id_pool_.get_slot(id)) throw Error(does_not_exist(id));
  write_vector_entry(id, vector, properties, document);
}

// --- batch writes --------------------------------------------------------------------------

void NorvaneEngine::insert_many_with_mode(std::vector<BatchWriteItem> items, WriteMode mode,
                                          bool may_flush) {
  check_writable();

  // Validate the whole call first, so that bad input changes nothing: ids, lengths, values,
  // the mode against the id pool as the earlier items of the call leave it, and metadata.
  // The checks of one item alone run on the pool; the first failure in item order is reported.
  std::vector<std::vector<float>> vectors(items.size());
  std::vector<std::string> jsons(items.size());
  // An item's own failures, in the order the serial checks below need them.
  std::vector<std::exception_ptr> input_failures(items.size());
  std::vector<std::exception_ptr> metadata_failures(items.size());
  parallel_for(items.size(), kEncodeGrain, [&](std::size_t i) {
    try {
      check_id(items[i].id);
      vectors[i] = checked_vector(std::span<const float>(items[i].vector), "vector");
    } catch (...) {
      input_failures[i] = std::current_exception();
    }
    try {
      jsons[i] = VectorMetadata{items[i].properties, items[i].document}.to_json();
    } catch (...) {
      metadata_failures[i] = std::current_exception();
    }
  });
  {
    std::unordered_set<std::string_view> added;
    std::uint64_t slot_count = id_pool_.slot_count();
    std::uint64_t id_bytes = id_pool_.byte_count();
    for (std::size_t i = 0; i < items.size(); ++i) {
      const BatchWriteItem& item = items[i];
      if (input_failures[i]) std::rethrow_exception(input_failures[i]);
      const bool present = id_pool_.get_slot(item.id).has_value() || added.count(item.id) > 0;
      if (mode == WriteMode::kInsert && present) throw Error(already_exists(item.id));
      if (mode == WriteMode::kUpdate && !present) throw Error(does_not_exist(item.id));
      if (!present) {
        added.insert(item.id);
        check_room_for_new_id(slot_count++, id_bytes);
        id_bytes += item.id.size();
      }
      if (metadata_failures[i]) std::rethrow_exception(metadata_failures[i]);
    }
  }

  for (std::size_t begin = 0; begin < items.size(); begin += kBatchChunk) {
    const std::size_t end = std::min(items.size(), begin + kBatchChunk);
    std::vector<std::vector<float>> chunk_vectors(std::make_move_iterator(vectors.begin() + begin),
                                                  std::make_move_iterator(vectors.begin() + end));
    std::vector<EncodedVector> encoded = encode_vectors(std::move(chunk_vectors));

    // Slots: existing ids keep theirs; new ids take the next numbers in item order (an id
    // repeated within the chunk keeps the slot of its first occurrence).
    const std::uint64_t slot_count = id_pool_.slot_count();
    std::uint64_t next = slot_count;
    std::unordered_map<std::string_view, std::uint32_t> chunk_new;
    std::vector<SlotPlan> plans(end - begin);
    std::vector<const EncodedVector*> plan_vectors(end - begin);
    std::vector<WalEntry> entries;
    entries.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      const std::string& id = items[i].id;
      SlotPlan& plan = plans[i - begin];
      if (const auto slot = id_pool_.get_slot(id)) {
        plan = {*slot, false};
      } else if (const auto it = chunk_new.find(id); it != chunk_new.end()) {
        plan = {it->second, false};
      } else {
        plan = {static_cast<std::uint32_t>(next++), true};
        chunk_new.emplace(id, plan.slot);
      }
      plan_vectors[i - begin] = &encoded[i - begin];
      entries.push_back(make_entry(id, encoded[i - begin], std::move(jsons[i])));
      if (!plan.is_new && raw_vectors_) {
        entries.back().metadata_json =
            with_logged_raw_vector(std::move(entries.back().metadata_json), encoded[i - begin].raw);
      }
    }

    reserve_new_slots(plans, plan_vectors);
    try {
      append_log(entries);
    } catch (const Error&) {
      rollback_new_slots(slot_count);
      throw;
    }

    // The id pool in item order; then the records, each slot written once by the last item
    // that names it, on the pool.
    std::vector<std::pair<std::uint32_t, VectorMetadata>> metadata;
    metadata.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      const SlotPlan& plan = plans[i - begin];
      if (plan.is_new) {
        NVX_CHECK(id_pool_.insert(items[i].id) == plan.slot,
                  "id pool handed out an unexpected slot");
      }
      metadata.emplace_back(
          plan.slot, VectorMetadata{std::move(items[i].properties), std::move(items[i].document)});
    }
    std::vector<bool> superseded(end - begin, false);
    if (chunk_new.size() < end - begin) {
      std::unordered_set<std::uint32_t> later;
      for (std::size_t j = end - begin; j-- > 0;) {
        superseded[j] = !later.insert(plans[j].slot).second;
      }
    }
    parallel_for(end - begin, kEncodeGrain, [&](std::size_t j) {
      if (superseded[j]) return;
      write_code_record(plans[j].slot, entries[j]);
      if (!plans[j].is_new) write_raw_vector(plans[j].slot, encoded[j].raw);
    });
    metadata_->put_many(std::move(metadata));
  }
  finish_write(true, may_flush);
}

// --- flush ----------------------------------------------------------------------------------

struct NorvaneEngine::StagedFlush {
  bool compact = false;
  std::optional<IdPool> pool;  // the renumbered pool when compacting
  std::unordered_map<std::uint32_t, std::uint32_t> old_to_new;
  bool metadata_rekeyed = false;
  bool metadata_staged = false;
  Bytes ids;  // the staged id table, mirrored after install
};

void NorvaneEngine::flush_wal_to_segment() {
  check_writable();
  // Files removed while open are put back from memory: a slot file lives on in its mapping
  // (rewriting the slot files, as compaction does, restores it), the quantizer in memory.
  const bool slot_file_removed =
      !path_exists(path(kCodesFile)) || (raw_vectors_ && !path_exists(path(kRawFile)));
  if (slot_file_removed) slot_compaction_pending_ = true;
  if (!path_exists(path(kQuantizerFile))) save_quantizer_state(*quantizer_, local_dir_, *backend_);
  if (pending_.empty() && !slot_file_removed) return;

  std::vector<SegmentRecord> records;
  records.reserve(pending_.size());
  for (const PendingEntry& e : pending_) records.push_back({e.id, e.is_deleted});
  // A crash after this leaves a segment whose entries are replayed and written again: the
  // duplicate segment is harmless.
  segments_->flush_batch(records);

  StagedFlush staged;
  try {
    stage_durable_state(staged);
    wal_->reset();  // the commit point
  } catch (const Error&) {
    discard_staged(staged);
    throw;
  }
  pending_.clear();
  try {
    install_staged(staged);
  } catch (const Error& e) {
    broken_ = e.what();
    throw;
  }
  // The local state is complete: what follows persists the manifest and mirrors the files.
  backend_->mirror(kIdsFile, path(kIdsFile), staged.ids);
  mirror_live_files();
  manifest_.vector_count = id_pool_.live_count();
  maybe_persist_state(true);
}

void NorvaneEngine::stage_durable_state(StagedFlush& st) {
  if (slot_compaction_pending_) {
    st.compact = true;
    // The slot numbers change: an index over the old numbers must be gone from the manifest
    // before the new numbering can be committed.
    invalidate_index();
    const auto live = id_pool_.iter_active();
    const std::uint64_t n = live.size();
    auto compact_file = [&](const LiveCodesFile& from, const char* name) {
      LiveCodesFile tmp = LiveCodesFile::open(path(name), from.slot_size());
      tmp.clear();
      tmp.truncate_to(n);
      for (std::uint64_t i = 0; i < n; ++i) {
        const auto src = from.slot(live[i].second);
        std::memcpy(tmp.get_slot_mut(i).data(), src.data(), src.size());
      }
      tmp.flush();
    };
    compact_file(*codes_, kCodesStaged);
    if (raw_vectors_) compact_file(*raw_vectors_, kRawStaged);
    st.pool.emplace();
    st.old_to_new.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      if (st.pool->insert(live[i].first) != i) {
        // Only a damaged live_ids.bin lists one id under two live slots.
        throw Error("live_ids.bin lists the id '" + live[i].first +
                    "' under two slots; the database directory is damaged");
      }
      st.old_to_new.emplace(live[i].second, static_cast<std::uint32_t>(i));
    }
    metadata_->rekey(st.old_to_new);
    st.metadata_rekeyed = true;
  } else {
    codes_->flush();
    if (raw_vectors_) raw_vectors_->flush();
  }
  if (metadata_->dirty()) {
    metadata_->write_to(path(kMetadataStaged));
    st.metadata_staged = true;
  }
  st.ids = (st.pool ? *st.pool : id_pool_).encode();
  write_file(path(kIdsStaged), st.ids);
}

void NorvaneEngine::discard_staged(StagedFlush& st) {
  if (st.metadata_rekeyed) {
    std::unordered_map<std::uint32_t, std::uint32_t> back;
    back.reserve(st.old_to_new.size());
    for (const auto& [from, to] : st.old_to_new) back.emplace(to, from);
    metadata_->rekey(back);
  }
  for (const char* name : {kCodesStaged, kRawStaged, kMetadataStaged, kIdsStaged}) {
    try {
      remove_file(path(name));
    } catch (const Error&) {
      // Open drops leftovers of an uncommitted flush.
    }
  }
}

void NorvaneEngine::install_staged(StagedFlush& st) {
  if (st.compact) {
    codes_->release_handles();
    rename_file(path(kCodesStaged), path(kCodesFile));
    codes_ = LiveCodesFile::open(path(kCodesFile), code_slot_size_);
    if (raw_vectors_) {
      raw_vectors_->release_handles();
      rename_file(path(kRawStaged), path(kRawFile));
      raw_vectors_ = LiveCodesFile::open(path(kRawFile), raw_slot_size_);
      raw_vectors_->advise_random();
    }
    id_pool_ = std::move(*st.pool);
    slot_compaction_pending_ = false;
  }
  if (st.metadata_staged) {
    rename_file(path(kMetadataStaged), path(kMetadataFile));
    metadata_->mark_clean();
  }
  rename_file(path(kIdsStaged), path(kIdsFile));
  codes_->set_len(id_pool_.slot_count());
  if (raw_vectors_) raw_vectors_->set_len(id_pool_.slot_count());
}

void NorvaneEngine::mirror_live_files() {
  for (const char* name : {kCodesFile, kRawFile, kMetadataFile}) {
    if (name == kRawFile && !raw_vectors_) continue;
    const std::string p = path(name);
    // The common case is a backend rooted in the local directory: nothing to copy, and the
    // slot files are not even read.
    if (!backend_->needs_mirror(name, p) || !path_exists(p)) continue;
    const Bytes bytes = read_file(p);
    backend_->mirror(name, p, bytes);
  }
}

}  // namespace norvex::storage::engine
