#include "storage/id_pool.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"
#include "storage/encoding.h"

namespace norvex::storage {
namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;
constexpr std::uint64_t kMaxSlots = std::uint64_t{1} << 32;  // u32 slot numbers, kEmpty unused
constexpr const char* kFileName = "live_ids.bin";

// Seeded per process so that the table layout is not predictable from the ids.
std::uint64_t process_seed() {
  static const std::uint64_t seed = [] {
    std::random_device rd;
    return (std::uint64_t{rd()} << 32) ^ rd();
  }();
  return seed;
}

// The splitmix64 finaliser: spreads every bit of the stored FNV hash over the table index.
std::uint64_t mix(std::uint64_t x) {
  x ^= process_seed();
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

[[noreturn]] void malformed(const std::string& what) {
  throw DecodeError("failed to decode live_ids.bin: " + what);
}

// Reads `count` fixed-width little-endian values into `out` with one copy.
template <typename T>
void read_array(RecordReader& r, std::vector<T>& out) {
  const std::uint64_t count = r.get_count(sizeof(T));
  const ByteView raw = r.get_raw(static_cast<std::size_t>(count) * sizeof(T));
  out.resize(static_cast<std::size_t>(count));
  if (count != 0) std::memcpy(out.data(), raw.data(), raw.size());
}

template <typename T>
void write_array(Bytes& out, const std::vector<T>& values) {
  append_le<std::uint64_t>(out, values.size());
  const std::size_t at = out.size();
  out.resize(at + values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(out.data() + at, values.data(), values.size() * sizeof(T));
}

}  // namespace

std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t h = kFnvOffset;
  for (const char c : bytes) {
    h ^= static_cast<std::uint8_t>(c);
    h *= kFnvPrime;
  }
  return h;
}

IdPool::IdPool() = default;

std::optional<std::string_view> IdPool::valid_id(std::uint32_t slot) const {
  if (slot >= offsets_.size() || slot >= lens_.size()) return std::nullopt;
  const std::uint64_t start = offsets_[slot];
  const std::uint64_t len = lens_[slot];
  if (start + len > bytes_.size()) return std::nullopt;
  const std::string_view id(reinterpret_cast<const char*>(bytes_.data()) + start,
                            static_cast<std::size_t>(len));
  if (!is_valid_utf8(id)) return std::nullopt;
  return id;
}

std::optional<std::string_view> IdPool::id_of(std::uint32_t slot) const {
  if (!is_alive(slot)) return std::nullopt;
  return valid_id(slot);
}

std::size_t IdPool::home_of(std::uint64_t hash) const {
  return static_cast<std::size_t>(mix(hash)) & (table_.size() - 1);
}

template <typename F>
void IdPool::for_each_under(std::uint64_t hash, F&& f) const {
  if (table_used_ == 0) return;
  const std::size_t mask = table_.size() - 1;
  const auto tag = static_cast<std::uint32_t>(hash);
  for (std::size_t i = home_of(hash);; i = (i + 1) & mask) {
    const Cell& cell = table_[i];
    if (cell.slot == kEmpty) return;
    if (cell.tag == tag && hashes_[cell.slot] == hash) f(cell.slot);
  }
}

void IdPool::table_reserve(std::size_t entries) {
  std::size_t want = 16;
  while (want / 4 * 3 < entries) want *= 2;
  if (want <= table_.size()) return;
  std::vector<Cell> old = std::move(table_);
  table_.assign(want, Cell{kEmpty, 0});
  table_used_ = 0;
  for (const Cell& cell : old) {
    if (cell.slot != kEmpty) table_insert(cell.slot);
  }
}

void IdPool::table_insert(std::uint32_t slot) {
  if (table_.empty() || (table_used_ + 1) > table_.size() / 4 * 3) table_reserve(table_used_ + 1);
  const std::uint64_t hash = hashes_[slot];
  const std::size_t mask = table_.size() - 1;
  std::size_t i = home_of(hash);
  while (table_[i].slot != kEmpty) i = (i + 1) & mask;
  table_[i] = Cell{slot, static_cast<std::uint32_t>(hash)};
  ++table_used_;
}

void IdPool::table_erase(std::uint32_t slot) {
  if (table_used_ == 0) return;
  const std::size_t mask = table_.size() - 1;
  std::size_t i = home_of(hashes_[slot]);
  while (table_[i].slot != slot) {
    if (table_[i].slot == kEmpty) return;
    i = (i + 1) & mask;
  }
  // Backward-shift deletion: pull later cells of the run into the gap when their home allows,
  // so that every run stays free of holes (no tombstones).
  std::size_t gap = i;
  for (std::size_t j = (i + 1) & mask; table_[j].slot != kEmpty; j = (j + 1) & mask) {
    const std::size_t home = home_of(hashes_[table_[j].slot]);
    // The cell at j may move to the gap unless its home lies cyclically in (gap, j].
    const bool home_after_gap = gap <= j ? (home > gap && home <= j) : (home > gap || home <= j);
    if (!home_after_gap) {
      table_[gap] = table_[j];
      gap = j;
    }
  }
  table_[gap] = Cell{kEmpty, 0};
  --table_used_;
}

std::optional<std::uint32_t> IdPool::get_slot(std::string_view id) const {
  if (table_used_ == 0) return std::nullopt;
  const std::uint64_t hash = fnv1a64(id);
  const std::size_t mask = table_.size() - 1;
  const auto tag = static_cast<std::uint32_t>(hash);
  // Equal bytes imply an equal hash, so after the tag only the bytes are compared; this saves
  // a cache miss on hashes_ per probe.
  for (std::size_t i = home_of(hash);; i = (i + 1) & mask) {
    const Cell& cell = table_[i];
    if (cell.slot == kEmpty) return std::nullopt;
    if (cell.tag != tag || !is_alive(cell.slot)) continue;
    const auto stored = valid_id(cell.slot);
    if (stored && *stored == id) return cell.slot;
  }
}

std::uint32_t IdPool::insert(std::string_view id) {
  if (const auto existing = get_slot(id)) return *existing;
  if (id.size() > kMaxIdBytes) {
    throw Error("id is too long (" + std::to_string(id.size()) + " bytes, max " +
                std::to_string(kMaxIdBytes) + ")");
  }
  // Such an id could never be found again (lookups only match valid UTF-8).
  if (!is_valid_utf8(id)) throw Error("id is not valid UTF-8");
  if (bytes_.size() >= kMaxIdBufferBytes) {
    throw Error(kIdBufferFull);
  }
  if (offsets_.size() >= kMaxSlots - 1) throw Error("id pool has no free slot numbers left");
  const auto slot = static_cast<std::uint32_t>(offsets_.size());
  offsets_.push_back(static_cast<std::uint32_t>(bytes_.size()));
  lens_.push_back(static_cast<std::uint16_t>(id.size()));
  hashes_.push_back(fnv1a64(id));
  alive_.push_back(1);
  bytes_.insert(bytes_.end(), id.begin(), id.end());
  table_insert(slot);
  ++active_count_;
  return slot;
}

bool IdPool::delete_by_id(std::string_view id) {
  const auto slot = get_slot(id);
  if (!slot || !is_alive(*slot)) return false;
  alive_[*slot] = 0;
  if (active_count_ > 0) --active_count_;
  table_erase(*slot);
  return true;
}

void IdPool::rebuild_lookup() {
  table_.clear();
  table_used_ = 0;
  active_count_ = 0;
  std::size_t alive = 0;
  for (std::size_t s = 0; s < hashes_.size() && s < alive_.size(); ++s) alive += alive_[s];
  table_reserve(alive);
  for (std::size_t s = 0; s < hashes_.size(); ++s) {
    if (s < alive_.size() && alive_[s] != 0) {
      table_insert(static_cast<std::uint32_t>(s));
      ++active_count_;
    }
  }
}

std::vector<std::pair<std::string, std::uint32_t>> IdPool::iter_active() const {
  std::vector<std::pair<std::string, std::uint32_t>> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(active_count_, offsets_.size())));
  for (std::size_t s = 0; s < offsets_.size(); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (!is_alive(slot)) continue;
    if (const auto id = valid_id(slot)) out.emplace_back(std::string(*id), slot);
  }
  return out;
}

std::vector<std::uint32_t> IdPool::live_slots() const {
  // Every slot alive (no deletes since the last flush): every search asks for this list.
  if (invalid_ids_ == 0 && active_count_ == offsets_.size()) {
    std::vector<std::uint32_t> all(offsets_.size());
    std::iota(all.begin(), all.end(), std::uint32_t{0});
    return all;
  }
  std::vector<std::uint32_t> out;
  out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(active_count_, offsets_.size())));
  for (std::size_t s = 0; s < offsets_.size(); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (is_alive(slot) && (invalid_ids_ == 0 || valid_id(slot))) out.push_back(slot);
  }
  return out;
}

Bytes IdPool::encode() const {
  Bytes out;
  out.reserve(bytes_.size() + offsets_.size() * 31 + 64);
  append_le<std::uint64_t>(out, bytes_.size());
  out.insert(out.end(), bytes_.begin(), bytes_.end());
  write_array(out, offsets_);
  write_array(out, lens_);
  write_array(out, hashes_);
  write_array(out, alive_);

  // lookup: one entry per distinct hash of the alive slots, in slot order of its first slot.
  const std::size_t count_at = out.size();
  append_le<std::uint64_t>(out, 0);
  std::uint64_t entries = 0;
  std::vector<std::uint32_t> group;
  for (std::size_t s = 0; s < hashes_.size(); ++s) {
    const auto slot = static_cast<std::uint32_t>(s);
    if (!is_alive(slot)) continue;
    group.clear();
    for_each_under(hashes_[s], [&](std::uint32_t other) { group.push_back(other); });
    std::sort(group.begin(), group.end());                 // insertion order is slot order
    if (group.empty() || group.front() != slot) continue;  // written with its first slot
    append_le<std::uint64_t>(out, hashes_[s]);
    append_le<std::uint64_t>(out, group.size());
    for (const std::uint32_t g : group) append_le<std::uint32_t>(out, g);
    ++entries;
  }
  store_le<std::uint64_t>(out.data() + count_at, entries);
  append_le<std::uint64_t>(out, active_count_);
  return out;
}

IdPool IdPool::decode(ByteView data) {
  RecordReader r(data);
  IdPool pool;
  {
    const std::uint64_t n = r.get_count(1);
    const ByteView raw = r.get_raw(static_cast<std::size_t>(n));
    pool.bytes_.assign(raw.begin(), raw.end());
  }
  read_array(r, pool.offsets_);
  read_array(r, pool.lens_);
  read_array(r, pool.hashes_);
  read_array(r, pool.alive_);

  const std::size_t slots = pool.offsets_.size();
  if (pool.lens_.size() != slots || pool.hashes_.size() != slots || pool.alive_.size() != slots) {
    malformed("per-slot arrays differ in length (" + std::to_string(slots) + " offsets, " +
              std::to_string(pool.lens_.size()) + " lengths, " +
              std::to_string(pool.hashes_.size()) + " hashes, " +
              std::to_string(pool.alive_.size()) + " alive flags)");
  }
  if (slots >= kMaxSlots) malformed("too many slots");
  for (std::size_t s = 0; s < slots; ++s) {
    if (pool.alive_[s] > 1) {
      throw DecodeError("failed to decode record: invalid bool value " +
                        std::to_string(pool.alive_[s]) + ", expected 0 or 1");
    }
    if (std::uint64_t{pool.offsets_[s]} + pool.lens_[s] > pool.bytes_.size()) {
      malformed("id of slot " + std::to_string(s) + " lies outside the id bytes");
    }
    if (!pool.valid_id(static_cast<std::uint32_t>(s))) ++pool.invalid_ids_;
  }

  // The stored lookup and count are checked for shape only, then rebuilt.
  const std::uint64_t entries = r.get_count(16);
  for (std::uint64_t e = 0; e < entries; ++e) {
    r.get_u64();
    const std::uint64_t k = r.get_count(4);
    r.get_raw(static_cast<std::size_t>(k) * 4);
  }
  r.get_u64();
  pool.rebuild_lookup();
  return pool;
}

IdPool load_id_pool(const std::string& dir, StorageBackend& backend) {
  const std::string path = join_path(dir, kFileName);
  if (path_exists(path)) return IdPool::decode(read_file(path));
  Bytes data;
  try {
    data = backend.read(kFileName);
  } catch (const Error&) {
    throw Error("live_ids.bin not found");
  }
  write_file_atomic(path, data);
  return IdPool::decode(data);
}

void save_id_pool(const IdPool& pool, const std::string& dir, StorageBackend& backend) {
  const std::string path = join_path(dir, kFileName);
  const Bytes data = pool.encode();
  write_file_atomic(path, data);
  backend.mirror(kFileName, path, data);
}

}  // namespace norvex::storage
