// Sending files from a directory: the helper behind the built-in static route
// and the front end's catch-all route.
#pragma once

#include "quillo/http.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quillo::app {

// The content type for a file name, by its extension; text types carry
// "; charset=utf-8". Unknown extensions are application/octet-stream.
std::string content_type_for(std::string_view filename);

// The content of a file, read once and then kept in memory while its size,
// modification time and inode stay the same (small files only). Throws
// std::system_error when it cannot be read.
std::shared_ptr<const std::string> read_file_cached(const std::string& path);

// The part of a file a Range header asks for. Only single byte ranges are
// served; anything else (several ranges, another unit, a malformed value)
// gets the whole file, which a server may always send instead.
struct ByteRange {
    enum class Kind { Whole, Partial, Unsatisfiable };
    Kind kind;
    uint64_t offset;
    uint64_t length;
};
ByteRange select_range(std::string_view range_header, uint64_t file_size);

// Answers an open regular file (taking over `fd`), as the module API's
// quillo::send_open_file does.
Response send_open_file(const Request& request, int fd, std::string_view filename);

// Answers `relative_path` from `directory` with conditional-GET support
// (ETag and Last-Modified, 304 when the client's copy is current) and
// single byte ranges (206, or 416 with the size).
// Throws NotFound when the path would leave the directory or does not name a
// regular file that can be read.
Response send_from_directory(const std::string& directory, std::string_view relative_path,
                             const Request& request);

} // namespace quillo::app
