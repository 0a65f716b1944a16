// The front end's two routes: the index page and the catch-all for its assets.
#pragma once

#include "quillo/http.h"

#include <string>

namespace quillo::app {

inline constexpr const char* kNoCache = "no-cache, no-store, must-revalidate";

struct FrontendInfo {
    std::string static_folder;
    std::string server_version;
    std::string executable_dir;
};

// GET /: index.html with every "__CACHE_BUST__" replaced by the current Unix
// time, read anew on every request; the missing-assets page (500) when the
// file does not exist.
Response index(const FrontendInfo& info);

// The page shown when the front end is not installed.
std::string missing_assets_page(const FrontendInfo& info, const std::string& index_path);

// /<path:path>: files of the static folder, JSON 404/405 answers otherwise.
Response static_files(const FrontendInfo& info, const Request& request, const std::string& path);

} // namespace quillo::app
