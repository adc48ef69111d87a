// IdPool: the table between the caller's string ids and slots.
//
// All ids live in one byte buffer, in slot order; per slot the pool keeps the id's offset
// (u32) and length (u16) in that buffer, its 64-bit FNV-1a hash and an alive flag. Slots are
// handed out in increasing order and never reused; deleting only clears the alive flag. The
// lookup table, rebuilt from the stored hashes on load, maps a hash to its alive slots.
//
// live_ids.bin (binary record encoding, little-endian, no magic or checksum):
//
//   bytes         u64 n, n bytes            ids concatenated in slot order
//   offsets       u64 n, n x u32
//   lens          u64 n, n x u16
//   hashes        u64 n, n x u64            FNV-1a of each id
//   alive         u64 n, n x u8             0 dead, 1 alive; other values are an error
//   lookup        u64 m, m x (u64 hash, u64 k, k x u32 slot)
//   active_count  u64
//
// The four per-slot arrays must have one length, and every (offset, len) range must lie in
// bytes. The lookup section and active_count are written for completeness but ignored on
// load: they are rebuilt from hashes and alive. Bytes after the record are ignored.
//
// No locks: const methods may run concurrently; the rest need exclusive access.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"

namespace norvex::storage {

class StorageBackend;

inline constexpr std::size_t kMaxIdBytes = 65535;
// A new id is accepted while the byte buffer holds fewer bytes than this (u32 offsets).
inline constexpr std::uint64_t kMaxIdBufferBytes = std::uint64_t{1} << 32;
inline constexpr const char* kIdBufferFull =
    "id pool byte buffer exceeds 4 GiB \u2014 too many unique IDs inserted";

// 64-bit FNV-1a; the empty string hashes to the offset basis 0xcbf29ce484222325.
std::uint64_t fnv1a64(std::string_view bytes);

class IdPool {
 public:
  IdPool();

  // The slot of `id`, allocating the next slot when it is not alive in the pool (an existing
  // id is not an error and changes nothing). Throws Error "id is too long (N bytes, max
  // 65535)", "id is not valid UTF-8" or, once the byte buffer holds 4 GiB, "id pool byte
  // buffer exceeds 4 GiB — too many unique IDs inserted"; the pool is then unchanged.
  std::uint32_t insert(std::string_view id);

  // The alive slot holding `id`. Slots whose stored range or bytes are invalid never match.
  std::optional<std::uint32_t> get_slot(std::string_view id) const;

  // Marks the id's slot dead; false when the id is not alive. Its bytes stay in place.
  bool delete_by_id(std::string_view id);

  // Recomputes the lookup table and the live count from the stored hashes and alive flags.
  void rebuild_lookup();

  // Every alive slot with a copy of its id, in ascending slot order; slots whose stored range
  // or bytes are invalid are skipped.
  std::vector<std::pair<std::string, std::uint32_t>> iter_active() const;
  // The slots iter_active lists, in slot order, without their ids.
  std::vector<std::uint32_t> live_slots() const;

  // The id of `slot` as a view into the pool's buffer (valid until the next insert), or none
  // when the slot is out of range, dead, or its stored bytes are invalid.
  std::optional<std::string_view> id_of(std::uint32_t slot) const;

  bool is_alive(std::uint32_t slot) const { return slot < alive_.size() && alive_[slot] != 0; }
  // Bytes of every id ever inserted (dead ones included).
  std::uint64_t byte_count() const { return bytes_.size(); }
  // Slots handed out so far, dead ones included.
  std::uint64_t slot_count() const { return offsets_.size(); }
  // Alive slots (the record count).
  std::uint64_t live_count() const { return active_count_; }

  // live_ids.bin bytes.
  Bytes encode() const;
  // Throws DecodeError for truncated or malformed input; nothing of it is used then.
  static IdPool decode(ByteView data);

 private:
  // One cell of the open-addressed lookup table: an alive slot and the low half of its hash
  // (the full hash is hashes_[slot]). Several cells share a hash only on a 64-bit collision.
  struct Cell {
    std::uint32_t slot;
    std::uint32_t tag;
  };
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  std::optional<std::string_view> valid_id(std::uint32_t slot) const;
  std::size_t home_of(std::uint64_t hash) const;
  void table_reserve(std::size_t entries);
  void table_insert(std::uint32_t slot);
  void table_erase(std::uint32_t slot);
  // Calls f(slot) for every alive slot stored under `hash`.
  template <typename F>
  void for_each_under(std::uint64_t hash, F&& f) const;

  Bytes bytes_;
  std::vector<std::uint32_t> offsets_;
  std::vector<std::uint16_t> lens_;
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint8_t> alive_;
  std::vector<Cell> table_;  // size 0 or a power of two, at most 3/4 full
  std::size_t table_used_ = 0;
  std::uint64_t active_count_ = 0;
  // Slots whose stored id is not valid UTF-8 (only a decoded file can hold such bytes: insert
  // refuses them, and a slot's id never changes). While there are none, a live slot's id
  // needs no check.
  std::uint64_t invalid_ids_ = 0;
};

// Reads live_ids.bin from `dir`; when it is missing locally, restores it from the backend
// (writing the local copy first). Throws Error "live_ids.bin not found" when neither has it,
// or the read, write or decode error.
IdPool load_id_pool(const std::string& dir, StorageBackend& backend);

// Replaces live_ids.bin in `dir` atomically (temporary file and rename), then mirrors the
// bytes to the backend. A backend failure leaves the local file written.
void save_id_pool(const IdPool& pool, const std::string& dir, StorageBackend& backend);

}  // namespace norvex::storage
