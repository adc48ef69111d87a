// Record operations: reads by id, deletions, metadata-only updates, counts, listings,
// statistics and the two slot readers shared with the searches.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "common/error.h"
#include "common/half_bulk.h"
#include "common/prefetch.h"
#include "storage/engine/engine.h"
#include "storage/engine/filter.h"
#include "storage/engine/internal.h"

namespace norvex::storage::engine {

using namespace internal;

// --- slot readers ----------------------------------------------------------------------------

NorvaneEngine::SlotCode NorvaneEngine::live_codes_at_slot(std::uint32_t slot) const {
  const std::span<const std::uint8_t> rec = codes_->slot(slot);
  SlotCode out;
  out.mse_indices.resize(quantizer_->n);
  quantizer_->unpack_mse_indices(rec.first(packed_bytes_), out.mse_indices);
  out.qjl_bits = rec.subspan(packed_bytes_, qjl_bytes_);
  out.gamma = load_le<float>(rec.data() + packed_bytes_ + qjl_bytes_);
  out.norm = load_le<float>(rec.data() + packed_bytes_ + qjl_bytes_ + 4);
  return out;
}

std::vector<double> NorvaneEngine::live_raw_vector_at_slot(std::uint32_t slot) const {
  std::vector<double> out(d_, 0.0);
  if (!raw_vectors_) return out;
  const std::span<const std::uint8_t> rec = raw_vectors_->slot(slot);
  if (raw_precision_ == RerankPrecision::kF16) {
    halves_to_doubles(rec.data(), d_, out.data());
  } else {
    for (std::size_t i = 0; i < d_; ++i) out[i] = load_le<float>(rec.data() + 4 * i);
  }
  return out;
}

void NorvaneEngine::score_raw_vectors(std::span<const double> query,
                                      std::span<const std::uint32_t> slots,
                                      std::span<double> out) const {
  NVX_CHECK(out.size() == slots.size(), "score_raw_vectors: " + std::to_string(out.size()) +
                                            " outputs for " + std::to_string(slots.size()) +
                                            " slots");
  constexpr std::size_t kGroup = filter::kScoreGroup;
  std::vector<double> rows(kGroup * d_, 0.0);
  // Each group's vectors are asked for while the group before it is scored.
  const auto prefetch_group = [&](std::size_t begin) {
    if (!raw_vectors_) return;
    for (std::size_t j = begin; j < std::min(begin + kGroup, slots.size()); ++j) {
      const std::span<const std::uint8_t> rec = raw_vectors_->slot(slots[j]);
      prefetch_lines(rec.data(), rec.size());
    }
  };
  prefetch_group(0);
  for (std::size_t begin = 0; begin < slots.size(); begin += kGroup) {
    const std::size_t count = std::min(kGroup, slots.size() - begin);
    prefetch_group(begin + kGroup);
    std::span<const double> views[kGroup];
    for (std::size_t j = 0; j < count; ++j) {
      double* row = rows.data() + j * d_;
      if (raw_vectors_) {
        const std::uint8_t* rec = raw_vectors_->slot(slots[begin + j]).data();
        if (raw_precision_ == RerankPrecision::kF16) {
          halves_to_doubles(rec, d_, row);
        } else {
          for (std::size_t i = 0; i < d_; ++i) row[i] = load_le<float>(rec + 4 * i);
        }
      } else {
        std::fill_n(row, d_, 0.0);
      }
      views[j] = {row, d_};
    }
    filter::score_vectors_with_metric_many(metric_, query, {views, count},
                                           out.subspan(begin, count));
  }
}

// --- reads -----------------------------------------------------------------------------------

std::vector<std::uint32_t> NorvaneEngine::live_slots() const { return id_pool_.live_slots(); }

std::vector<std::uint32_t> NorvaneEngine::filter_slots(std::vector<std::uint32_t> slots,
                                                       const PropertyMap& filter) const {
  // One pass over the store's entries, read in place: a slot without metadata never matches.
  const MetadataStore::Entries& entries = metadata_->entries();
  std::vector<std::uint32_t> kept;
  for (std::uint32_t slot : slots) {
    const auto it = entries.find(slot);
    if (it != entries.end() && filter::metadata_matches_filter(it->second.properties, filter)) {
      kept.push_back(slot);
    }
  }
  return kept;
}

std::vector<std::string> NorvaneEngine::ids_of(const std::vector<std::uint32_t>& slots) const {
  std::vector<std::string> ids;
  ids.reserve(slots.size());
  for (std::uint32_t slot : slots) ids.emplace_back(id_pool_.id_of(slot).value_or(""));
  return ids;
}

std::optional<GetResult> NorvaneEngine::get(const std::string& id) const {
  const auto slot = id_pool_.get_slot(id);
  if (!slot) return std::nullopt;
  GetResult out;
  out.id = id;
  if (auto md = metadata_->get(*slot)) out.metadata = std::move(*md);
  return out;
}

std::vector<std::optional<GetResult>> NorvaneEngine::get_many(
    const std::vector<std::string>& ids) const {
  std::vector<std::optional<GetResult>> out(ids.size());
  std::vector<std::uint32_t> slots;
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (const auto slot = id_pool_.get_slot(ids[i])) {
      slots.push_back(*slot);
      positions.push_back(i);
    }
  }
  if (slots.empty()) return out;
  const MetadataStore::Entries found = metadata_->get_many(slots);
  // Every position of a live id is filled, repeated ids included; a live id without a
  // metadata entry reads as empty metadata, as in get.
  for (std::size_t j = 0; j < slots.size(); ++j) {
    GetResult r;
    r.id = ids[positions[j]];
    if (const auto it = found.find(slots[j]); it != found.end()) r.metadata = it->second;
    out[positions[j]] = std::move(r);
  }
  return out;
}

std::uint64_t NorvaneEngine::count_with_filter(const std::optional<PropertyMap>& filter) const {
  if (!filter) return id_pool_.live_count();
  return filter_slots(live_slots(), *filter).size();
}

std::vector<std::string> NorvaneEngine::list_with_filter_page(
    const std::optional<PropertyMap>& filter, std::optional<std::uint64_t> limit,
    std::uint64_t offset) const {
  std::vector<std::string> out;
  if (limit && *limit == 0) return out;
  std::vector<std::uint32_t> slots = live_slots();
  if (filter) slots = filter_slots(std::move(slots), *filter);
  for (std::uint64_t i = offset; i < slots.size(); ++i) {
    if (limit && out.size() >= *limit) break;
    out.emplace_back(id_pool_.id_of(slots[i]).value_or(""));
  }
  return out;
}

std::vector<std::string> NorvaneEngine::list_all_ids() const { return ids_of(live_slots()); }

std::unordered_map<std::string, std::uint64_t> NorvaneEngine::list_metadata_values(
    const std::string& field) const {
  const MetadataStore::Entries& entries = metadata_->entries();
  std::unordered_map<std::string, std::uint64_t> counts;
  for (std::uint32_t slot : live_slots()) {
    const auto it = entries.find(slot);
    if (it == entries.end()) continue;
    const Json* value = filter::get_nested_field(it->second.properties, field);
    if (value == nullptr) continue;
    ++counts[value->is_string() ? value->get<std::string>() : dump_compact(*value)];
  }
  return counts;
}

// --- deletions and metadata updates ------------------------------------------------------------

namespace {

WalEntry deletion_entry(const std::string& id) {
  WalEntry e;
  e.id = id;
  e.gamma = 0.0f;
  e.norm = 0.0f;
  e.metadata_json = "{}";
  e.is_deleted = true;
  return e;
}

}  // namespace

std::uint64_t NorvaneEngine::delete_ids(const std::vector<std::string>& ids) {
  // Ids that are live, each once, in request order.
  std::vector<WalEntry> entries;
  std::unordered_set<std::string_view> seen;
  for (const std::string& id : ids) {
    if (id_pool_.get_slot(id) && seen.insert(id).second) entries.push_back(deletion_entry(id));
  }
  if (entries.empty()) return 0;
  append_log(entries);
  for (const WalEntry& e : entries) {
    const auto slot = id_pool_.get_slot(e.id);
    NVX_CHECK(slot.has_value(), "deleted id vanished from the id pool");
    id_pool_.delete_by_id(e.id);
    mark_slot_deleted(*slot);
  }
  const std::uint64_t count = entries.size();
  slot_compaction_pending_ = true;
  finish_write(true);
  return count;
}

bool NorvaneEngine::delete_id(const std::string& id) {
  check_writable();
  return delete_ids({id}) == 1;
}

std::uint64_t NorvaneEngine::delete_batch(const std::vector<std::string>& ids) {
  check_writable();
  return delete_ids(ids);
}

std::uint64_t NorvaneEngine::delete_where(const PropertyMap& filter) {
  check_writable();
  return delete_ids(ids_of(filter_slots(live_slots(), filter)));
}

void NorvaneEngine::update_metadata_only(const std::string& id, const PropertyMap& properties,
                                         const std::optional<std::string>& document) {
  check_writable();
  const auto slot = id_pool_.get_slot(id);
  if (!slot) throw Error("ID '" + id + "' does not exist");
  VectorMetadata current = metadata_->get(*slot).value_or(VectorMetadata{});
  VectorMetadata updated;
  updated.properties = properties.empty() ? std::move(current.properties) : properties;
  updated.document = document ? document : std::move(current.document);

  // Logged like any other write (a record without a code), so it survives a crash.
  WalEntry e;
  e.id = id;
  e.gamma = 0.0f;
  e.norm = 0.0f;
  e.metadata_json = updated.to_json();
  e.is_deleted = false;
  std::vector<WalEntry> entries;
  entries.push_back(std::move(e));
  append_log(entries);
  metadata_->put(*slot, std::move(updated));
  finish_write(false);
}

// --- statistics --------------------------------------------------------------------------------

EngineStats NorvaneEngine::stats() const {
  EngineStats s;
  s.vector_count = id_pool_.live_count();
  s.segment_count = segments_->segment_count();
  s.buffered_vectors = pending_.size();
  s.dimension = d_;
  s.bits = b_;
  s.total_disk_bytes = segments_->total_disk_size();
  for (const char* name : {kManifestFile, kMetadataFile, kWalFile, kQuantizerFile, kGraphFile,
                           kGraphIdsFile, kCodesFile, kRawFile}) {
    if (name == kRawFile && !rerank_) continue;
    try {
      s.total_disk_bytes += backend_->size(name);
    } catch (const Error&) {
      // A file that is not there adds nothing.
    }
  }
  s.has_index = index_usable();
  s.index_nodes = index_ids_.size();
  s.live_slot_count = codes_->len();
  s.live_codes_bytes = code_slot_size_ * codes_->len();
  s.live_id_count = id_pool_.live_count();
  s.live_vectors_count = id_pool_.live_count();
  s.live_vectors_bytes_estimate = raw_vectors_ ? raw_slot_size_ * raw_vectors_->len() : 0;
  s.metadata_entries = metadata_->size();
  for (const auto& [slot, md] : metadata_->entries()) {
    std::uint64_t bytes = 4;
    try {
      bytes += md.to_json().size();
    } catch (const Error&) {
    }
    s.metadata_bytes_estimate += bytes;
  }
  s.ann_slot_count = index_ids_.size();
  s.graph_nodes = graph_node_count();
  return s;
}

}  // namespace norvex::storage::engine
