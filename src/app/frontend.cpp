#include "app/frontend.h"

#include "app/proxy_fallback.h"
#include "app/send_file.h"
#include "utils/files.h"
#include "utils/text.h"

#include <chrono>
#include <filesystem>

namespace quillo::app {

namespace {

constexpr const char* kCacheBustMarker = "__CACHE_BUST__";

Response html(int status, std::string body) {
    Response response(status, "text/html; charset=utf-8", std::move(body));
    response.headers.set("Cache-Control", kNoCache);
    return response;
}

Response json_error(const std::string& message, int status) {
    return json_response({{"error", message}}, status);
}

} // namespace

std::string missing_assets_page(const FrontendInfo& info, const std::string& index_path) {
    return "<!doctype html><html><head><meta charset='utf-8'><title>Quillo — static assets "
           "missing</title><style>body{font-family:-apple-system,Segoe UI,Roboto,sans-serif;max-"
           "width:720px;margin:60px auto;padding:0 "
           "20px;color:#222}h1{font-size:20px;color:#b00020}code,pre{background:#f4f4f4;padding:"
           "2px 6px;border-radius:4px;font-size:13px}pre{padding:12px;overflow:auto}</style></"
           "head><body><h1>Quillo: static/index.html not found</h1><p>The installed "
           "<code>quillo</code> package does not contain the web frontend assets under "
           "<code>static/</code>.</p><p>This happens on builds or packages that did not install "
           "<code>static/</code> next to the server. Reinstall the latest release to fix "
           "this:</p><pre>make install</pre><p>Details:</p><ul><li>Quillo: " +
           info.server_version + "</li><li>quillo_server: " + info.executable_dir +
           "</li><li>expected index.html: " + index_path +
           "</li></ul><p>If the upgrade does not help, run Quillo from a source checkout instead "
           "(the static/ directory lives next to the server sources in the git "
           "repo):</p><pre>git clone https://github.com/quillo-ide/quillo.git\ncd quillo\nmake "
           "run</pre></body></html>";
}

Response index(const FrontendInfo& info) {
    std::string token = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
    std::string path = info.static_folder + "/index.html";
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        return html(500, missing_assets_page(info, path));
    }
    std::shared_ptr<const std::string> page = read_file_cached(path);
    if (auto error = utils::utf8_decode_error(*page)) {
        throw std::runtime_error(*error);
    }
    return html(200, utils::replace_all(*page, kCacheBustMarker, token));
}

Response static_files(const FrontendInfo& info, const Request& request, const std::string& path) {
    auto fallback_or = [&](const char* message, int status) {
        std::optional<Response> redirect = try_proxy_fallback(request, path, *info.console);
        return redirect ? std::move(*redirect) : json_error(message, status);
    };
    if (path.starts_with("api/") || path.starts_with("preview/")) {
        return fallback_or("Not found", 404);
    }
    if (request.method != "GET") {
        return fallback_or("Method not allowed", 405);
    }
    try {
        Response response = send_from_directory(info.static_folder, path, request);
        response.headers.set("Cache-Control", kNoCache);
        return response;
    } catch (const std::exception&) {
        // Not found, outside the folder or unreadable: never a server error.
        return fallback_or("File not found", 404);
    }
}

} // namespace quillo::app
