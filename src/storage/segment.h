// Segment files: one immutable file per flush of the engine's pending writes, listing the ids
// written or deleted since the previous flush. They live only in the storage backend.
//
// Name: "seg-" + number in decimal, zero-padded to at least 8 digits, + ".bin".
//
//   offset 0   8 bytes   record count N (u64 little-endian)
//   offset 8   4 bytes   magic "NVSG"
//   offset 12  N frames, back to back:
//                L (u32) | L bytes: SegmentRecord | CRC-32 of the 4 length bytes + payload (u32)
//
// SegmentRecord (binary record encoding): id (string: u64 length + UTF-8), is_deleted (bool).
//
// Older files without the magic have their frames at offset 8 and no CRCs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "storage/backend.h"
#include "storage/encoding.h"

namespace norvex::storage {

struct SegmentRecord {
  std::string id;
  bool is_deleted = false;

  void encode(RecordWriter& w) const;
  // Throws DecodeError.
  static SegmentRecord decode(RecordReader& r);

  bool operator==(const SegmentRecord&) const = default;
};

// What the manager knows of one segment file.
struct Segment {
  std::string name;
  std::uint64_t record_count = 0;
  bool checksummed = false;  // carries the magic and per-frame CRCs

  // Reads and decodes the whole file `name` from the backend. Throws Error: the backend's read
  // error, "failed to fill whole buffer" when the file ends early (also for a count or length
  // that runs past the end), "segment CRC32 mismatch: record may be corrupted", or the
  // record's DecodeError.
  static std::vector<SegmentRecord> read_all(const StorageBackend& backend,
                                             const std::string& name);
  // The decoding step of read_all, on bytes already read.
  static std::vector<SegmentRecord> decode_file(ByteView file);
  // The bytes of a checksummed segment file holding `records` in order.
  static Bytes encode_file(const std::vector<SegmentRecord>& records);
};

// The segments present in a backend and the number the next one gets. No locking: used under
// the engine's exclusive lock.
class SegmentManager {
 public:
  // Lists the backend root and reads every "seg-*.bin" file whole. Files shorter than 8 bytes
  // are not segments, but their number still counts for next_id. Throws the backend's Error
  // when a listing or a read fails.
  static SegmentManager open(std::shared_ptr<StorageBackend> backend);

  // Writes the records as the next segment. No records: nothing happens. Throws Error: a
  // backend write failure, or a name that already exists (numbers exhausted); the
  // manager is then unchanged.
  void flush_batch(const std::vector<SegmentRecord>& records);

  // Sum of the file lengths of the known segments; one that cannot be examined counts 0.
  std::uint64_t total_disk_size() const;

  std::size_t segment_count() const { return segments_.size(); }
  const std::vector<Segment>& segments() const { return segments_; }
  std::uint64_t next_id() const { return next_id_; }

  // "seg-" + number zero-padded to 8 digits + ".bin".
  static std::string segment_name(std::uint64_t number);
  // Whether a listed name is a segment file: "seg-" ... ".bin".
  static bool is_segment_file_name(const std::string& name);

 private:
  explicit SegmentManager(std::shared_ptr<StorageBackend> backend) : backend_(std::move(backend)) {}

  std::vector<Segment> segments_;  // sorted by name, then appended in write order
  std::shared_ptr<StorageBackend> backend_;
  std::uint64_t next_id_ = 0;
};

}  // namespace norvex::storage
