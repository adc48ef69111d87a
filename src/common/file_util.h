// Whole-file helpers over POSIX calls. Failures are norvex::Error carrying the system's text
// and the path. Nothing here calls fsync: durability is against a killed process, not power
// loss.
#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace norvex {

bool path_exists(const std::string& path);

// open(2) for the database's files: adds O_CLOEXEC (and mode 0666 with O_CREAT) and refuses
// anything but a regular file with Error "not a regular file: <path>", so that a FIFO or a
// device planted in a directory can neither block an open nor feed endless bytes. Returns the
// descriptor; the caller closes it.
int open_regular_file(const std::string& path, int flags);

// Reads the whole file.
Bytes read_file(const std::string& path);

// Creates or truncates `path` (mode 0666 before the umask) and writes `data` in place.
void write_file(const std::string& path, ByteView data);

// Replaces `path` atomically: writes `data` to `path` + ".tmp" in the same directory, then
// renames it over `path`. A process killed at any point leaves either the old or the new file.
void write_file_atomic(const std::string& path, ByteView data);

// mkdir -p with mode 0777 before the umask; an existing directory is fine.
void create_dirs(const std::string& path);

// Removes a file; a missing file is not an error.
void remove_file(const std::string& path);

void rename_file(const std::string& from, const std::string& to);

std::uint64_t file_size(const std::string& path);

// `dir` + "/" + `name`.
std::string join_path(const std::string& dir, const std::string& name);

}  // namespace norvex
