// The write-ahead log wal.log: every accepted write is appended here before it is applied;
// the log is truncated back to its header once its entries are in a segment.
//
//   offset 0   4 bytes   magic "NVWV"
//   offset 4   4 bytes   format version (u32 little-endian), written as 5
//   offset 8   frames, back to back:
//                L (u64) | L bytes: WalEntryPacked | CRC-32 of the 8 length bytes + payload (u32)
//
// Version 4 frames are the same without the CRC; both versions are read.
//
// WalEntryPacked, in the binary record encoding (storage/encoding.h), fields in this order:
//   id (string) | packed_mse (u8 sequence) | qjl_bits (u8 sequence) | gamma (f32) | norm (f32)
//   | metadata_json (string) | is_deleted (bool)
// packed_mse holds the scalar indices bit-packed by the product quantizer; it is empty for a
// deletion and for any entry without indices. WalEntry is the same record with the unpacked
// indices (u16 sequence) in place of packed_mse.
//
// Entry kinds the engine writes:
//   vector write    indices and signs of the code, metadata_json = VectorMetadata JSON
//   deletion        no indices, no signs, gamma 0, norm 0, metadata_json "{}", is_deleted
//   metadata only   no indices, no signs, metadata_json = the new VectorMetadata JSON,
//                   is_deleted false
// An entry without indices replays with empty mse_indices, so the three stay distinct.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/buffered_file.h"
#include "common/bytes.h"
#include "quantizer/prod.h"
#include "storage/encoding.h"

namespace norvex::storage {

struct WalEntry {
  std::string id;
  std::vector<std::uint16_t> mse_indices;  // n entries, or empty
  Bytes qjl_bits;                          // ceil(n/8) bytes, or empty
  float gamma = 0.0f;
  float norm = 0.0f;
  std::string metadata_json;
  bool is_deleted = false;

  void encode(RecordWriter& w) const;
  // Throws DecodeError.
  static WalEntry decode(RecordReader& r);

  bool operator==(const WalEntry&) const = default;
};

struct WalEntryPacked {
  std::string id;
  Bytes packed_mse;
  Bytes qjl_bits;
  float gamma = 0.0f;
  float norm = 0.0f;
  std::string metadata_json;
  bool is_deleted = false;

  void encode(RecordWriter& w) const;
  // Throws DecodeError.
  static WalEntryPacked decode(RecordReader& r);
  // The packed form of an entry: its indices packed by `quantizer` (which may be null for an
  // entry without indices or a deletion).
  static WalEntryPacked of(const WalEntry& e, const quantizer::ProdQuantizer* quantizer);

  bool operator==(const WalEntryPacked&) const = default;
};

class Wal {
 public:
  static constexpr std::uint32_t kVersion = 5;

  // Opens `path` for create and append (0666 before the umask); a new or empty file gets the
  // 8-byte header. A non-empty file is left as it is (its header is examined by replay).
  // Throws Error.
  static Wal open(const std::string& path);

  // The quantizer that packs indices on append; replaces any previous one.
  void set_quantizer(std::shared_ptr<const quantizer::ProdQuantizer> quantizer);

  // Appends one frame per entry, then writes the buffered frames to the file; with `sync`
  // also fsyncs (an empty batch still does). An entry with indices needs a quantizer (a Fault
  // otherwise) and exactly n of them. Throws Error; a failed batch is cut off again, so the
  // log never keeps a torn frame or a part of a batch that was reported as failed.
  void append_batch(std::span<const WalEntry> entries, bool sync);

  // The frame append_batch writes for one entry: length, payload, CRC. The same checks (a
  // Fault for an entry with indices but no quantizer or the wrong count). Safe to call from
  // several threads at once.
  Bytes frame(const WalEntry& e) const;
  // frame() of every entry, built on the worker pool, in order.
  std::vector<Bytes> frames(std::span<const WalEntry> entries) const;
  // Writes frames built by frame() as append_batch writes its own (the same sync and the same
  // cut-off of a failed batch).
  void append_frames(std::span<const ByteView> frames, bool sync);

  // Reads every intact entry of the log at `path` with its own read-only handle; the file is
  // not modified. Missing file, fewer than 4 bytes or another magic: no entries. Throws Error
  // only when the file cannot be opened, the version cannot be read or is not 4 or 5, or
  // reading a frame length fails other than at end of file. Otherwise the first short frame,
  // CRC mismatch (reported on stderr) or undecodable payload ends the replay and the entries before
  // it are returned; so does a code whose packed indices or sign bytes do not have the quantizer's
  // sizes. `quantizer` unpacks the indices; without one every entry has empty mse_indices.
  //
  // For the opener: appends land after whatever the file holds, and a torn tail, a foreign
  // header or a version-4 header would hide them from the next replay. So the log must be
  // truncate()d after every replay before the first append, also when it returned nothing.
  static std::vector<WalEntry> replay(const std::string& path,
                                      const quantizer::ProdQuantizer* quantizer);
  // The same on the bytes of a log held in memory.
  static std::vector<WalEntry> replay_bytes(ByteView log,
                                            const quantizer::ProdQuantizer* quantizer);

  // Whether the path no longer names the file this log appends to (removed or replaced while
  // open): appends would then be lost to the next replay.
  bool detached() const;
  // Rewrites the file as its bare header; the next append lands at offset 8. Throws Error.
  void truncate();

  // The same, atomically: a complete header-only file is renamed over the log, so the old
  // entries are gone exactly when the call returns, and a call that throws has changed
  // nothing. This is the commit point of the engine's flush.
  void reset();

  const std::string& path() const { return path_; }

 private:
  Wal(std::string path, BufferedFile file) : path_(std::move(path)), file_(std::move(file)) {}

  std::string path_;
  BufferedFile file_;  // append handle
  std::shared_ptr<const quantizer::ProdQuantizer> quantizer_;
};

}  // namespace norvex::storage
