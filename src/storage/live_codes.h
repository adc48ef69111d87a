// A file of fixed-size slots, memory-mapped shared read-write: live_codes.bin (one quantized
// code per slot) and live_vectors.bin (one raw vector per slot).
//
// Slot s occupies bytes [s * slot_size, (s + 1) * slot_size). No header, magic or checksum;
// on open everything past the last whole slot is ignored. The file object knows nothing about
// a slot's content. Record layouts, owned by the engine:
//
//   live_codes.bin, D = padded dimension, b = quantizer bits:
//     [0, m)          packed scalar indices, m = ceil(D * (b - 1) / 8)
//     [m, m + q)      residual sign bits, q = ceil(D / 8)
//     [m + q, +4)     gamma, f32
//     [m + q + 4, +4) norm, f32
//     [m + q + 8]     deleted flag: 0 live, 1 deleted
//   live_vectors.bin: d components as f32 (4 * d bytes) or IEEE binary16 (2 * d bytes).
//
// States: unmapped-and-empty (length 0), mapped (length = capacity * slot_size, len <=
// capacity), or released (no mapping, no handle, counters kept); alloc_slot, truncate_to,
// clear and remap return from released. Nothing here locks: writers run under the engine's
// write lock, and readers share the mapping only while nothing changes it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "storage/metric.h"

namespace norvex::storage {

// Slots added whenever an allocation finds the file full.
inline constexpr std::uint64_t kSlotGrowth = 16384;

// Bytes of one live_codes.bin record for dimension d and bit width b (b >= 1). Throws Error
// when the size does not fit in 64 bits.
std::uint64_t code_slot_size(std::uint64_t d, std::uint64_t b);

// Bytes of one live_vectors.bin record: 4 * d for f32, 2 * d for f16, 0 when disabled.
std::uint64_t raw_slot_size(std::uint64_t d, RerankPrecision precision);

class LiveCodesFile {
 public:
  // Opens `path` read-write, creating it (mode 0666 before the umask) but never truncating it;
  // capacity and len are the number of whole slots in it, and a non-empty file is mapped.
  // Throws Error with the system's text on failure.
  static LiveCodesFile open(std::string path, std::uint64_t slot_size);

  LiveCodesFile(LiveCodesFile&& other) noexcept;
  LiveCodesFile& operator=(LiveCodesFile&& other) noexcept;
  LiveCodesFile(const LiveCodesFile&) = delete;
  LiveCodesFile& operator=(const LiveCodesFile&) = delete;
  ~LiveCodesFile();

  // Re-opens the file handle after release_handles; no-op while it is open.
  void ensure_open();
  // Drops the mapping, re-opens if needed, and maps the file's whole current length when
  // capacity is non-zero (a zero-length file stays unmapped).
  void remap();

  // Returns the next slot number, growing the file by kSlotGrowth slots (zero-filled) when it
  // is full. The caller writes the whole record. Throws Error when growing or mapping fails;
  // the mapping is then dropped and capacity unchanged.
  std::uint64_t alloc_slot();

  // The writable bytes of `slot` inside the mapping, valid until the next call that changes
  // the mapping (alloc_slot, truncate_to, clear, remap, release_handles). Throws Error
  // "mmap not initialized" when unmapped; a slot outside the mapping is a Fault. With
  // slot_size 0 the result is empty and no mapping is needed.
  std::span<std::uint8_t> get_slot_mut(std::uint64_t slot);
  // Read-only view of `slot`, same rules.
  std::span<const std::uint8_t> slot(std::uint64_t s) const;

  // For scanners: the mapping's first byte (nullptr when unmapped) and its length. Slot s
  // starts at data() + s * slot_size(); slots below len() are allocated.
  const std::uint8_t* data() const { return map_; }
  std::uint64_t mapped_bytes() const { return map_len_; }
  bool is_mapped() const { return map_ != nullptr; }

  // Sets the file's length to n slots (new bytes are zero), capacity = len = n, and remaps.
  void truncate_to(std::uint64_t n);
  // Sets the file's length to 0, capacity = len = 0; the file stays unmapped.
  void clear();
  // msync(MS_SYNC) of the whole mapping; nothing when unmapped.
  void flush();
  // Advises random access (MADV_RANDOM); a failure of the advice is ignored.
  void advise_random();
  // Drops the mapping and closes the handle; path, slot_size, capacity and len are kept.
  void release_handles();

  // Sets the allocated slot count, e.g. to the id pool's slot count after open. Throws Error
  // when the file holds fewer than n slots (the slot file and the id pool disagree).
  void set_len(std::uint64_t n);

  const std::string& path() const { return path_; }
  std::uint64_t slot_size() const { return slot_size_; }
  std::uint64_t capacity() const { return capacity_; }
  std::uint64_t len() const { return len_; }

 private:
  LiveCodesFile(std::string path, std::uint64_t slot_size);
  void unmap();
  void close_file();
  void set_file_length(std::uint64_t slots);

  std::string path_;
  std::uint64_t slot_size_ = 0;
  std::uint64_t capacity_ = 0;
  std::uint64_t len_ = 0;
  int fd_ = -1;
  std::uint8_t* map_ = nullptr;
  std::uint64_t map_len_ = 0;
};

}  // namespace norvex::storage
