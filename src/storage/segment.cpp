#include "storage/segment.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "common/error.h"

namespace norvex::storage {
namespace {

constexpr std::uint8_t kMagic[4] = {'N', 'V', 'S', 'G'};
constexpr const char* kPrefix = "seg-";
constexpr const char* kSuffix = ".bin";
constexpr std::size_t kCountSize = 8;
constexpr std::size_t kChecksummedHeaderSize = kCountSize + sizeof(kMagic);
// Length prefix plus the smallest record (empty id: its u64 length, then the bool).
constexpr std::size_t kMinFrameSize = 4 + 8 + 1;
constexpr const char* kShortFile = "failed to fill whole buffer";
constexpr const char* kCrcMismatch = "segment CRC32 mismatch: record may be corrupted";

// The number between "seg-" and ".bin": decimal digits with an optional leading "+", fitting
// in 64 bits; nothing otherwise.
std::optional<std::uint64_t> segment_number(const std::string& name) {
  std::string_view middle(name);
  middle = middle.substr(4, middle.size() - 8);
  if (!middle.empty() && middle.front() == '+') middle.remove_prefix(1);
  if (middle.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : middle) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t successor(std::uint64_t n) {
  // Saturates: a segment numbered 2^64 - 1 leaves no number for the next one, which
  // flush_batch then refuses instead of overwriting it.
  return n == std::numeric_limits<std::uint64_t>::max() ? n : n + 1;
}

}  // namespace

void SegmentRecord::encode(RecordWriter& w) const {
  w.put_string(id);
  w.put_bool(is_deleted);
}

SegmentRecord SegmentRecord::decode(RecordReader& r) {
  SegmentRecord rec;
  rec.id = r.get_string();
  rec.is_deleted = r.get_bool();
  return rec;
}

Bytes Segment::encode_file(const std::vector<SegmentRecord>& records) {
  Bytes out;
  append_le<std::uint64_t>(out, records.size());
  out.insert(out.end(), kMagic, kMagic + sizeof(kMagic));
  for (const SegmentRecord& rec : records) {
    RecordWriter w;
    rec.encode(w);
    const Bytes& payload = w.bytes();
    NVX_CHECK(payload.size() <= std::numeric_limits<std::uint32_t>::max(),
              "segment record too large for a u32 length");
    const std::size_t frame_at = out.size();
    append_le<std::uint32_t>(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    const std::uint32_t crc = crc32(ByteView(out.data() + frame_at, out.size() - frame_at));
    append_le<std::uint32_t>(out, crc);
  }
  return out;
}

std::vector<SegmentRecord> Segment::decode_file(ByteView file) {
  if (file.size() < kCountSize) throw Error(kShortFile);
  const std::uint64_t count = load_le<std::uint64_t>(file.data());
  const bool checksummed = file.size() >= kChecksummedHeaderSize &&
                           std::memcmp(file.data() + kCountSize, kMagic, sizeof(kMagic)) == 0;
  std::size_t pos = checksummed ? kChecksummedHeaderSize : kCountSize;
  std::vector<SegmentRecord> records;
  // The stored count is not trusted for the reservation: the bytes that remain bound it.
  records.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(count, (file.size() - pos) / kMinFrameSize)));
  for (std::uint64_t i = 0; i < count; ++i) {
    if (file.size() - pos < 4) throw Error(kShortFile);
    const std::size_t frame_at = pos;
    const std::uint32_t len = load_le<std::uint32_t>(file.data() + pos);
    pos += 4;
    if (file.size() - pos < len) throw Error(kShortFile);
    const ByteView payload(file.data() + pos, len);
    pos += len;
    if (checksummed) {
      if (file.size() - pos < 4) throw Error(kShortFile);
      const std::uint32_t stored = load_le<std::uint32_t>(file.data() + pos);
      pos += 4;
      if (stored != crc32(ByteView(file.data() + frame_at, 4 + std::size_t{len}))) {
        throw Error(kCrcMismatch);
      }
    }
    RecordReader r(payload);
    records.push_back(SegmentRecord::decode(r));
  }
  return records;
}

std::vector<SegmentRecord> Segment::read_all(const StorageBackend& backend,
                                             const std::string& name) {
  const Bytes file = backend.read(name);
  return decode_file(file);
}

std::string SegmentManager::segment_name(std::uint64_t number) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%08llu", static_cast<unsigned long long>(number));
  return std::string(kPrefix) + digits + kSuffix;
}

bool SegmentManager::is_segment_file_name(const std::string& name) {
  return name.size() >= 8 && name.compare(0, 4, kPrefix) == 0 &&
         name.compare(name.size() - 4, 4, kSuffix) == 0;
}

SegmentManager SegmentManager::open(std::shared_ptr<StorageBackend> backend) {
  NVX_CHECK(backend != nullptr, "SegmentManager needs a backend");
  SegmentManager manager(std::move(backend));
  for (const std::string& name : manager.backend_->list("")) {
    if (!is_segment_file_name(name)) continue;
    const Bytes file = manager.backend_->read(name);
    if (file.size() >= kCountSize) {
      Segment seg;
      seg.name = name;
      seg.record_count = load_le<std::uint64_t>(file.data());
      seg.checksummed = file.size() >= kChecksummedHeaderSize &&
                        std::memcmp(file.data() + kCountSize, kMagic, sizeof(kMagic)) == 0;
      manager.segments_.push_back(std::move(seg));
    }
    if (const auto number = segment_number(name)) {
      manager.next_id_ = std::max(manager.next_id_, successor(*number));
    }
  }
  std::sort(manager.segments_.begin(), manager.segments_.end(),
            [](const Segment& a, const Segment& b) { return a.name < b.name; });
  return manager;
}

void SegmentManager::flush_batch(const std::vector<SegmentRecord>& records) {
  if (records.empty()) return;
  const std::string name = segment_name(next_id_);
  // Only reachable once the numbers are exhausted; never overwrite a segment.
  if (backend_->exists(name)) {
    throw Error("segment numbers exhausted: " + name + " already exists");
  }
  const Bytes file = Segment::encode_file(records);
  backend_->write(name, file);
  segments_.push_back(Segment{name, records.size(), true});
  next_id_ = successor(next_id_);
}

std::uint64_t SegmentManager::total_disk_size() const {
  std::uint64_t total = 0;
  for (const Segment& seg : segments_) {
    try {
      total += backend_->size(seg.name);
    } catch (const Error&) {
      // A segment that cannot be examined counts 0.
    }
  }
  return total;
}

}  // namespace norvex::storage
