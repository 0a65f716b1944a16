#include "app/send_file.h"

#include "app/session_codec.h"
#include "utils/files.h"
#include "utils/text.h"
#include "utils/unique_fd.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>
#include <utility>

namespace quillo::app {

namespace {

struct MimeEntry {
    std::string_view extension;
    std::string_view type;
};

constexpr std::array<MimeEntry, 35> kMimeTypes{{
    {"html", "text/html; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"txt", "text/plain; charset=utf-8"},
    {"md", "text/markdown; charset=utf-8"},
    {"xml", "application/xml"},
    {"svg", "image/svg+xml"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"webp", "image/webp"},
    {"ico", "image/vnd.microsoft.icon"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"wasm", "application/wasm"},
    {"pdf", "application/pdf"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"ogg", "audio/ogg"},
    {"mp4", "video/mp4"},
    {"webm", "video/webm"},
    {"mov", "video/quicktime"},
    {"m4a", "audio/mp4"},
    {"flac", "audio/flac"},
    {"avif", "image/avif"},
    {"bmp", "image/bmp"},
    {"webmanifest", "application/manifest+json"},
    {"zip", "application/zip"},
}};

// Refuses what could leave the directory: absolute paths, "..", back
// slashes (a separator on Windows) and NUL bytes.
bool is_safe_relative_path(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos ||
        path.find('\\') != std::string_view::npos) {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (path.substr(start, end - start) == "..") {
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string make_etag(const struct stat& st) {
    char buf[64];
    std::snprintf(
        buf, sizeof buf, "\"%llx-%lx-%llx\"", static_cast<unsigned long long>(st.st_mtim.tv_sec),
        static_cast<long>(st.st_mtim.tv_nsec), static_cast<unsigned long long>(st.st_size));
    return buf;
}

bool etag_listed(std::string_view header, std::string_view etag) {
    if (header == "*") {
        return true;
    }
    size_t start = 0;
    while (start < header.size()) {
        size_t end = header.find(',', start);
        std::string_view item = header.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        while (!item.empty() && item.back() == ' ') {
            item.remove_suffix(1);
        }
        if (item.substr(0, 2) == "W/") {
            item.remove_prefix(2);
        }
        if (item == etag) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return false;
}

// The front end's files are read once and then served from memory until
// they change: the entry is kept only while the file's size, modification
// time and inode stay the same, so an edited or replaced file is read anew.
// Larger files are not kept: they go from the page cache to the socket
// (sendfile), which costs less than copying a kept copy into the socket
// once a file is more than a few pages. The whole cache stays under a fixed
// budget.
class FileCache {
  public:
    static constexpr size_t kMaxFileBytes = 32 * 1024;
    static constexpr size_t kBudgetBytes = 16 * 1024 * 1024;

    std::shared_ptr<const std::string> get(const std::string& path, const struct stat& st) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = entries_.find(path);
            if (it != entries_.end() && it->second.matches(st)) {
                return it->second.content;
            }
        }
        auto content = std::make_shared<const std::string>(utils::read_file(path));
        if (content->size() == static_cast<size_t>(st.st_size) &&
            content->size() <= kMaxFileBytes && settled(st)) {
            remember(path, st, content);
        }
        return content;
    }

  private:
    struct Entry {
        int64_t mtime_ns;
        off_t size;
        ino_t inode;
        std::shared_ptr<const std::string> content;

        bool matches(const struct stat& st) const {
            return mtime_ns == mtime_ns_of(st) && size == st.st_size && inode == st.st_ino;
        }
    };

    // File times advance in clock ticks of a few milliseconds, so a file
    // written twice within one tick keeps its time stamp. A file changed in
    // the last two seconds is therefore read afresh each time, and kept only
    // once it has settled.
    static bool settled(const struct stat& st) {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return st.st_mtim.tv_sec + 2 < now.tv_sec;
    }

    static int64_t mtime_ns_of(const struct stat& st) {
        return static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    }

    void remember(const std::string& path, const struct stat& st,
                  std::shared_ptr<const std::string> content) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto old = entries_.find(path);
        if (old != entries_.end()) {
            total_ -= old->second.content->size();
            entries_.erase(old);
        }
        if (total_ + content->size() > kBudgetBytes) {
            entries_.clear(); // rare: a front end larger than the budget
            total_ = 0;
        }
        total_ += content->size();
        entries_.emplace(path, Entry{mtime_ns_of(st), st.st_size, st.st_ino, std::move(content)});
    }

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
    size_t total_ = 0;
};

FileCache& file_cache() {
    static FileCache* cache = new FileCache(); // never destroyed: threads may outlive main
    return *cache;
}

bool client_copy_is_current(const Request& request, const std::string& etag, int64_t mtime) {
    if (const std::string* if_none_match = request.headers.find("If-None-Match")) {
        return etag_listed(*if_none_match, etag);
    }
    if (const std::string* if_modified_since = request.headers.find("If-Modified-Since")) {
        std::optional<int64_t> since = parse_http_date(*if_modified_since);
        return since && mtime <= *since;
    }
    return false;
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<uint64_t> parse_decimal(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// If-Range asks for the range only while the file is the one the client
// has: its strong ETag, or its exact Last-Modified date.
bool if_range_holds(const Request& request, const std::string& etag, int64_t mtime) {
    const std::string* if_range = request.headers.find("If-Range");
    if (if_range == nullptr) {
        return true;
    }
    std::string_view value = trim_blanks(*if_range);
    if (value.starts_with("\"") || value.starts_with("W/")) {
        return value == etag;
    }
    std::optional<int64_t> date = parse_http_date(value);
    return date && *date == mtime;
}

} // namespace

ByteRange select_range(std::string_view header, uint64_t size) {
    ByteRange whole{ByteRange::Kind::Whole, 0, size};
    std::string_view wanted = trim_blanks(header);
    if (!wanted.starts_with("bytes=")) {
        return whole; // another unit, or no range at all
    }
    wanted.remove_prefix(6);
    if (wanted.find(',') != std::string_view::npos) {
        return whole; // several ranges: the whole file is a valid answer
    }
    wanted = trim_blanks(wanted);
    size_t dash = wanted.find('-');
    if (dash == std::string_view::npos) {
        return whole;
    }
    std::string_view first_text = wanted.substr(0, dash);
    std::string_view last_text = wanted.substr(dash + 1);
    ByteRange unsatisfiable{ByteRange::Kind::Unsatisfiable, 0, 0};
    if (first_text.empty()) { // the last N bytes
        std::optional<uint64_t> suffix = parse_decimal(last_text);
        if (!suffix) {
            return whole;
        }
        if (*suffix == 0 || size == 0) {
            return unsatisfiable;
        }
        uint64_t length = std::min(*suffix, size);
        return {ByteRange::Kind::Partial, size - length, length};
    }
    std::optional<uint64_t> first = parse_decimal(first_text);
    std::optional<uint64_t> last =
        last_text.empty() ? std::optional<uint64_t>(UINT64_MAX) : parse_decimal(last_text);
    if (!first || !last || *last < *first) {
        return whole; // not a valid range: ignored
    }
    if (*first >= size) {
        return unsatisfiable;
    }
    uint64_t end = std::min(*last, size - 1);
    return {ByteRange::Kind::Partial, *first, end - *first + 1};
}

std::string content_type_for(std::string_view filename) {
    size_t slash = filename.rfind('/');
    std::string_view base = slash == std::string_view::npos ? filename : filename.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string_view::npos) {
        std::string ext = utils::ascii_lower(base.substr(dot + 1));
        for (const MimeEntry& entry : kMimeTypes) {
            if (entry.extension == ext) {
                return std::string(entry.type);
            }
        }
    }
    return "application/octet-stream";
}

std::shared_ptr<const std::string> read_file_cached(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), path);
    }
    return file_cache().get(path, st);
}

namespace {

// Where the answer's bytes come from once the headers are decided.
struct FileSource {
    // A kept copy when the file is small enough to keep, else null.
    std::shared_ptr<const std::string> cached;
    // The open file; only used when nothing is cached.
    std::shared_ptr<utils::UniqueFd> fd;
};

Response file_response(const Request& request, const struct stat& st, std::string_view name,
                       const std::function<FileSource()>& open_source) {
    Response response;
    std::string etag = make_etag(st);
    response.headers.set("ETag", etag);
    response.headers.set("Last-Modified", http_date(st.st_mtim.tv_sec));
    response.headers.set("Accept-Ranges", "bytes");
    if (client_copy_is_current(request, etag, st.st_mtim.tv_sec)) {
        response.status = 304;
        return response;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    ByteRange range{ByteRange::Kind::Whole, 0, size};
    const std::string* range_header = request.headers.find("Range");
    if (range_header && if_range_holds(request, etag, st.st_mtim.tv_sec)) {
        range = select_range(*range_header, size);
    }
    if (range.kind == ByteRange::Kind::Unsatisfiable) {
        response.status = 416;
        response.headers.set("Content-Range", "bytes */" + std::to_string(size));
        return response;
    }
    if (range.kind == ByteRange::Kind::Partial) {
        response.status = 206;
        response.headers.set("Content-Range", "bytes " + std::to_string(range.offset) + "-" +
                                                  std::to_string(range.offset + range.length - 1) +
                                                  "/" + std::to_string(size));
    }
    response.headers.set("Content-Type", content_type_for(name));
    FileSource source = open_source();
    if (source.cached) {
        if (range.kind == ByteRange::Kind::Whole && source.cached->size() == size) {
            response.shared_body = std::move(source.cached);
        } else {
            response.body = source.cached->substr(
                std::min<uint64_t>(range.offset, source.cached->size()), range.length);
        }
    } else {
        response.file_body =
            std::make_shared<FileBody>(source.fd->release(), range.offset, range.length);
    }
    return response;
}

} // namespace

Response send_open_file(const Request& request, int fd, std::string_view filename) {
    auto owned = std::make_shared<utils::UniqueFd>(fd);
    struct stat st {};
    if (::fstat(owned->get(), &st) != 0) {
        throw std::system_error(errno, std::generic_category(), "fstat");
    }
    if (!S_ISREG(st.st_mode)) {
        throw std::system_error(EISDIR, std::generic_category(), "not a regular file");
    }
    return file_response(request, st, filename, [&] { return FileSource{nullptr, owned}; });
}

Response send_from_directory(const std::string& directory, std::string_view relative_path,
                             const Request& request) {
    if (!is_safe_relative_path(relative_path)) {
        throw NotFound();
    }
    std::string full = directory + "/" + std::string(relative_path);
    struct stat st {};
    if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw NotFound();
    }
    Response response = file_response(request, st, relative_path, [&] {
        // Small files come from the cache; a larger one is sent from the file.
        if (static_cast<uint64_t>(st.st_size) > FileCache::kMaxFileBytes) {
            auto fd = std::make_shared<utils::UniqueFd>(
                ::open(full.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            if (fd->get() >= 0) {
                return FileSource{nullptr, std::move(fd)};
            }
            throw NotFound();
        }
        try {
            return FileSource{file_cache().get(full, st), nullptr};
        } catch (const std::system_error&) {
            throw NotFound(); // unreadable
        }
    });
    response.headers.set("Cache-Control", "no-cache");
    return response;
}

} // namespace quillo::app
