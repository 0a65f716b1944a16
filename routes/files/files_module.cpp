// The files route module: the workspace's files over a JSON API under
// /api/files/. Every path parameter is workspace-relative UTF-8 ("path",
// "from", "to"); a name that is not UTF-8 is listed with U+FFFD in "name"
// and "path" plus "raw", the base64url form (no padding) of its raw path
// bytes, which every request accepts in place of the path ("raw",
// "from_raw", "to_raw").
#include "content_search.h"
#include "files_service.h"
#include "settings.h"
#include "text.h"
#include "trash.h"
#include "tree.h"

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <quillo/module.h>

namespace quillo::files {

namespace {

constexpr size_t kMaxSearchResults = 500;
constexpr std::chrono::seconds kSearchBudget{2};
constexpr int kMaxJsonDepth = 16;
constexpr size_t kMaxSettingsBody = 16 * 1024;

// What one content search may take; a search that reaches any of these
// ends with "truncated".
constexpr ContentSearchLimits kContentSearchLimits{
    .max_query_bytes = 200,
    .max_file_bytes = 1024 * 1024,
    .binary_probe_bytes = 8192,
    .max_matches_per_file = 20,
    .max_matches = 1000,
    .max_files = 20000,
    .budget = std::chrono::seconds(10),
    .max_line_bytes = 300,
    .max_depth = 64,
};

// One instance each per request: the workspace directory is opened afresh,
// so a workspace that was replaced while the server runs is still found.
Workspace open_workspace() {
    return Workspace(workspace_dir());
}

Trash trash() {
    return Trash(config_dir() + "/trash");
}

Path path_from(const std::optional<std::string>& text, const std::optional<std::string>& raw,
               const char* name) {
    if (raw) {
        std::optional<std::string> bytes = base64url_decode(*raw);
        if (!bytes) {
            throw FileError(400, std::string(name) + "_raw is not base64url");
        }
        return parse_path(*bytes);
    }
    if (!text) {
        throw FileError(400, std::string("The request names no ") + name);
    }
    return parse_path(*text);
}

std::optional<std::string> query(const Request& request, const char* name) {
    try {
        return query_parameter(request.query_string, name);
    } catch (const std::invalid_argument& error) {
        throw FileError(400, error.what());
    }
}

Path query_path(const Request& request) {
    return path_from(query(request, "path"), query(request, "raw"), "path");
}

nlohmann::json json_body(const Request& request) {
    // Depth is bounded, so that a body of nested brackets costs nothing.
    auto bounded = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaxJsonDepth) {
            throw FileError(400, "The request body is nested too deeply");
        }
        return true;
    };
    nlohmann::json body;
    try {
        body = nlohmann::json::parse(request.body, bounded);
    } catch (const nlohmann::json::exception&) {
        throw FileError(400, "The request body is not JSON");
    }
    if (!body.is_object()) {
        throw FileError(400, "The request body must be a JSON object");
    }
    return body;
}

std::optional<std::string> text_field(const nlohmann::json& body, const char* name) {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        throw FileError(400, std::string("\"") + name + "\" must be a string");
    }
    return it->get<std::string>();
}

// "path" has its raw form in "raw", as in query strings; "from" and "to"
// in "from_raw" and "to_raw".
Path body_path(const nlohmann::json& body, const char* name) {
    std::string raw_key = std::string(name) == "path" ? "raw" : std::string(name) + "_raw";
    return path_from(text_field(body, name), text_field(body, raw_key.c_str()), name);
}

// The path as the client sees it, with "raw" when it is not UTF-8.
void put_path(nlohmann::json& out, const Path& path) {
    std::string text = display(path);
    out["path"] = text;
    if (!is_valid_utf8(text)) {
        out["raw"] = base64url_encode(text);
    }
}

nlohmann::json stamp_json(const Path& path, const Stamp& stamp) {
    nlohmann::json out = {{"size", stamp.size}, {"mtime", stamp.mtime}, {"etag", stamp.etag}};
    put_path(out, path);
    return out;
}

// A listing is written out directly: building a JSON document of ten
// thousand entries first would take longer than reading the directory.
void append_string(std::string& out, const std::string& text) {
    if (!is_valid_utf8(text)) { // rare: let the library put in U+FFFD
        out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    out += '"';
}

// Seconds with six decimals, without the cost of printf's float formatting.
void append_seconds(std::string& out, double seconds) {
    auto micros = static_cast<long long>(std::llround(seconds * 1e6));
    std::string fraction = std::to_string(micros % 1000000);
    out += std::to_string(micros / 1000000);
    out += '.';
    out.append(6 - fraction.size(), '0');
    out += fraction;
}

void append_entry(std::string& out, const Entry& entry) {
    // Keys in sorted order, as every other answer has them.
    out += "{\"executable\":";
    out += entry.executable ? "true" : "false";
    out += ",\"hidden\":";
    out += entry.hidden ? "true" : "false";
    out += ",\"mtime\":";
    append_seconds(out, entry.mtime);
    out += ",\"name\":";
    append_string(out, entry.name);
    out += ",\"path\":";
    std::string path = display(entry.path);
    append_string(out, path);
    if (!is_valid_utf8(path)) {
        out += ",\"raw\":\"" + base64url_encode(path) + "\"";
    }
    out += ",\"size\":" + std::to_string(entry.size);
    if (entry.type == "symlink") {
        out += ",\"target_type\":";
        out += entry.target_type ? "\"" + *entry.target_type + "\"" : std::string("null");
    }
    out += ",\"type\":\"" + entry.type + "\",\"writable\":";
    out += entry.writable ? "true}" : "false}";
}

Response list(Request& request) {
    Workspace workspace = open_workspace();
    Path directory = query_path(request);
    std::vector<Entry> entries = FilesService(workspace).list(directory);
    std::string out = "{\"entries\":[";
    out.reserve(entries.size() * 128);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        append_entry(out, entries[i]);
    }
    nlohmann::json place = nlohmann::json::object();
    put_path(place, directory);
    std::string tail = place.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += "],";
    out.append(tail, 1, std::string::npos); // {"path":...} without its brace
    out += '\n';
    return Response(200, "application/json", std::move(out));
}

Response read(Request& request) {
    Workspace workspace = open_workspace();
    Path path = query_path(request);
    FileContent content = FilesService(workspace).read(path);
    nlohmann::json out = stamp_json(path, content.stamp);
    if (is_valid_utf8(content.bytes)) {
        out["encoding"] = "utf-8";
        out["content"] = std::move(content.bytes);
    } else {
        out["encoding"] = "base64";
        out["content"] = base64_encode(content.bytes);
    }
    return json_response(out);
}

// RFC 6266: a plain name for old clients, the exact one in filename*.
std::string disposition(const std::string& kind, const std::string& name) {
    std::string plain;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        plain += byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\' ? '_' : c;
    }
    return kind + "; filename=\"" + plain + "\"; filename*=UTF-8''" + percent_encode(name);
}

Response raw(Request& request) {
    Workspace workspace = open_workspace();
    Path path = query_path(request);
    Fd fd = workspace.open(path, O_RDONLY);
    std::string name = path.empty() ? "workspace" : path.back();
    Response response;
    try {
        response = send_open_file(request, fd.release(), name);
    } catch (const std::system_error& error) {
        fail(error.code().value(), "fstat", display(path));
    }
    bool download = query(request, "download").value_or("") == "1";
    response.headers.set("Content-Disposition",
                         disposition(download ? "attachment" : "inline", name));
    // A workspace page or picture is shown, never run with the IDE's rights.
    // PDF is left out: browsers refuse their viewer in a sandbox, and its
    // scripts never run in the page's origin anyway.
    if (response.headers.get("Content-Type") != "application/pdf") {
        response.headers.set("Content-Security-Policy", "sandbox");
    }
    response.headers.set("X-Content-Type-Options", "nosniff");
    response.headers.set("Cache-Control", "no-cache");
    return response;
}

std::string decoded_content(const nlohmann::json& body) {
    std::string content = text_field(body, "content").value_or("");
    std::string encoding = text_field(body, "encoding").value_or("utf-8");
    if (encoding == "utf-8") {
        return content;
    }
    if (encoding != "base64") {
        throw FileError(400, "\"encoding\" must be \"utf-8\" or \"base64\"");
    }
    std::optional<std::string> bytes = base64_decode(content);
    if (!bytes) {
        throw FileError(400, "\"content\" is not base64");
    }
    return *bytes;
}

Response write(Request& request) {
    Workspace workspace = open_workspace();
    nlohmann::json body = json_body(request);
    Path path = body_path(body, "path");
    Stamp stamp =
        FilesService(workspace).write(path, decoded_content(body), text_field(body, "etag"));
    return json_response(stamp_json(path, stamp));
}

Response create(Request& request) {
    Workspace workspace = open_workspace();
    nlohmann::json body = json_body(request);
    Path path = body_path(body, "path");
    std::string type = text_field(body, "type").value_or("file");
    if (type != "file" && type != "directory") {
        throw FileError(400, "\"type\" must be \"file\" or \"directory\"");
    }
    FilesService(workspace).create(path, type == "directory");
    nlohmann::json out = {{"type", type}};
    put_path(out, path);
    return json_response(out);
}

Response rename_or_copy(Request& request, bool copy) {
    Workspace workspace = open_workspace();
    nlohmann::json body = json_body(request);
    Path from = body_path(body, "from");
    Path to = body_path(body, "to");
    FilesService service(workspace);
    copy ? service.copy(from, to) : service.rename(from, to);
    nlohmann::json out = nlohmann::json::object();
    put_path(out, to);
    return json_response(out);
}

Response remove(Request& request) {
    Workspace workspace = open_workspace();
    Path path = query_path(request);
    std::string id = trash().put(workspace, path);
    nlohmann::json out = {{"trash_id", id}};
    put_path(out, path);
    return json_response(out);
}

Response trash_list(Request&) {
    Trash bin = trash();
    nlohmann::json items = nlohmann::json::array();
    uint64_t total = 0;
    for (const TrashItem& item : bin.list()) {
        nlohmann::json out = {{"id", item.id},
                              {"type", item.type},
                              {"size", item.size},
                              {"deleted_at", item.deleted_at},
                              {"name", item.path.empty() ? "" : item.path.back()}};
        put_path(out, item.path);
        items.push_back(std::move(out));
        total += item.size;
    }
    return json_response({{"items", std::move(items)},
                          {"total_size", total},
                          {"limit", bin.limits().max_bytes},
                          {"max_age_days", bin.limits().max_age_seconds / 86400}});
}

Response restore(Request& request) {
    Workspace workspace = open_workspace();
    nlohmann::json body = json_body(request);
    std::string id = text_field(body, "id").value_or("");
    Path path = trash().restore(workspace, id);
    nlohmann::json out = nlohmann::json::object();
    put_path(out, path);
    return json_response(out);
}

Response upload(Request& request) {
    Workspace workspace = open_workspace();
    Path directory = query_path(request);
    std::string name = query(request, "name").value_or("");
    Path one = parse_path(name);
    if (one.size() != 1 || name.find('/') != std::string::npos) {
        throw FileError(400, "\"name\" must be one file name");
    }
    Path path = directory;
    path.push_back(one.front());
    bool overwrite = query(request, "overwrite").value_or("") == "1";
    // Written to disk as it arrives: an upload never sits in memory whole.
    auto content = [&](int fd) {
        read_body(request, [&](std::string_view piece) {
            if (!write_all(fd, piece.data(), piece.size())) {
                fail(errno, "write", display(path));
            }
        });
    };
    Stamp stamp = FilesService(workspace).write(path, content, std::nullopt,
                                                overwrite ? Existing::Replace : Existing::Keep);
    return json_response(stamp_json(path, stamp));
}

Response search(Request& request) {
    Workspace workspace = open_workspace();
    std::string text = query(request, "q").value_or("");
    if (text.empty()) {
        throw FileError(400, "\"q\" must name what to look for");
    }
    SearchResult found = FilesService(workspace).search(text, kMaxSearchResults, kSearchBudget);
    nlohmann::json results = nlohmann::json::array();
    for (const Entry& entry : found.matches) {
        nlohmann::json out = {{"name", entry.name}, {"type", entry.type}};
        put_path(out, entry.path);
        results.push_back(std::move(out));
    }
    return json_response({{"results", std::move(results)}, {"truncated", found.truncated}});
}

// A missing "path" (and "raw") means the whole workspace.
Path optional_query_path(const Request& request) {
    std::optional<std::string> text = query(request, "path");
    std::optional<std::string> raw = query(request, "raw");
    return text || raw ? path_from(text, raw, "path") : Path{};
}

std::string match_line(const ContentMatch& match) {
    nlohmann::json out = {{"line", match.line}, {"col", match.column}, {"text", match.text}};
    put_path(out, match.path);
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

// One line per match, sent file by file as the walk finds them, then the
// summary. A client that aborts its fetch closes the connection, which
// makes the writer refuse: the walk stops before its next file. The server
// only learns that from a write, so a search that finds nothing for a while
// writes an empty line now and then (clients skip empty lines).
void stream_matches(ContentSearch& search, BodyWriter& out) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kQuietest = std::chrono::milliseconds(250);
    Clock::time_point last_write = Clock::now();
    auto send = [&](const std::vector<ContentMatch>& matches) {
        std::string lines;
        for (const ContentMatch& match : matches) {
            lines += match_line(match);
        }
        last_write = Clock::now();
        return out.write(lines);
    };
    auto gone = [&] {
        if (Clock::now() - last_write < kQuietest) {
            return out.cancelled();
        }
        last_write = Clock::now();
        return !out.write("\n");
    };
    ContentSearchSummary summary = search.run(send, gone);
    nlohmann::json done = {{"done", true},
                           {"truncated", summary.truncated},
                           {"files", summary.files},
                           {"matches", summary.matches}};
    out.write(done.dump() + '\n');
}

Response search_content(Request& request) {
    Workspace workspace = open_workspace();
    auto search = std::make_shared<ContentSearch>(
        workspace, optional_query_path(request), query(request, "q").value_or(""),
        query(request, "case").value_or("") == "1", kContentSearchLimits);
    Response response(200, "application/x-ndjson; charset=utf-8", "");
    response.headers.set("Cache-Control", "no-store");
    response.stream = [search](BodyWriter& out) { stream_matches(*search, out); };
    return response;
}

Response trash_erase(Request& request) {
    trash().erase(request.view_args["id"]);
    return json_response({{"ok", true}});
}

Response trash_erase_all(Request&) {
    return json_response({{"ok", true}, {"deleted", trash().erase_all()}});
}

SettingsStore settings_store() {
    return SettingsStore(config_dir());
}

Response settings_read(Request&) {
    return json_response({{"settings", settings_store().read()}});
}

Response settings_merge(Request& request) {
    if (request.body.size() > kMaxSettingsBody) {
        throw FileError(400, "The settings body is larger than " +
                                 std::to_string(kMaxSettingsBody) + " bytes");
    }
    nlohmann::json body = json_body(request);
    auto changes = body.find("settings");
    if (changes == body.end() || !changes->is_object()) {
        throw FileError(400, "The body must hold an object \"settings\"");
    }
    return json_response({{"settings", settings_store().merge(*changes)}});
}

// Every failure answers {"error": ...} with its status; other exceptions go
// on to the server, which logs them and answers 500.
Handler guarded(Response (*handler)(Request&)) {
    return [handler](Request& request) {
        try {
            return handler(request);
        } catch (const FileError& error) {
            nlohmann::json body =
                error.extra().is_object() ? error.extra() : nlohmann::json::object();
            body["error"] = error.what();
            return json_response(body, error.status());
        }
    };
}

} // namespace

Blueprint& files_bp() {
    static Blueprint bp("files_bp");
    return bp;
}

namespace {

const bool registered = [] {
    Blueprint& bp = files_bp();
    bp.route("/api/files/module", {"GET"}, [](Request&) {
        return json_response({{"module", "files"}, {"stand_in", false}});
    });
    bp.route("/api/files/list", {"GET"}, guarded(list));
    bp.route("/api/files/read", {"GET"}, guarded(read));
    bp.route("/api/files/raw", {"GET"}, guarded(raw));
    bp.route("/api/files/write", {"PUT"}, guarded(write));
    bp.route("/api/files/create", {"POST"}, guarded(create));
    bp.route("/api/files/rename", {"POST"},
             guarded([](Request& r) { return rename_or_copy(r, false); }));
    bp.route("/api/files/copy", {"POST"},
             guarded([](Request& r) { return rename_or_copy(r, true); }));
    bp.route("/api/files/delete", {"DELETE"}, guarded(remove));
    bp.route("/api/files/trash", {"GET"}, guarded(trash_list));
    bp.route("/api/files/restore", {"POST"}, guarded(restore));
    bp.streaming_route("/api/files/upload", {"POST"}, guarded(upload));
    bp.route("/api/files/search", {"GET"}, guarded(search));
    bp.route("/api/files/search/content", {"GET"}, guarded(search_content));
    bp.route("/api/files/trash", {"DELETE"}, guarded(trash_erase_all));
    bp.route("/api/files/trash/<id>", {"DELETE"}, guarded(trash_erase));
    bp.route("/api/files/settings", {"GET"}, guarded(settings_read));
    bp.route("/api/files/settings", {"PUT"}, guarded(settings_merge));
    return true;
}();

} // namespace

} // namespace quillo::files

QUILLO_ROUTE_MODULE(quillo::files::files_bp())
