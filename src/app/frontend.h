// The front end's two routes: the index page and the catch-all for its assets.
#pragma once

#include "quillo/http.h"

#include <iostream>
#include <ostream>
#include <string>

namespace quillo::app {

inline constexpr const char* kNoCache = "no-cache, no-store, must-revalidate";

struct FrontendInfo {
    std::string static_folder;
    std::string server_version;
    std::string executable_dir;
    std::ostream* console = &std::cout; // where the proxy fallback reports
};

// GET /: index.html with every "__CACHE_BUST__" replaced by the current Unix
// time, read anew on every request; the missing-assets page (500) when the
// file does not exist.
Response index(const FrontendInfo& info);

// The page shown when the front end is not installed.
std::string missing_assets_page(const FrontendInfo& info, const std::string& index_path);

// /<path:path>: files of the static folder. A request that escaped the
// in-app browser is redirected back through its proxy; anything else that
// is not a file gets a JSON 404 or 405.
Response static_files(const FrontendInfo& info, const Request& request, const std::string& path);

} // namespace quillo::app
