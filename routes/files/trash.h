// The trash: deleted entries wait here, outside the workspace, until they
// are restored or grow too old or too many.
//
// Layout: <directory>/<id>/data is the deleted entry itself, moved there
// whole; <directory>/<id>/info.json says where it came from. An id sorts by
// the time of deletion.
#pragma once

#include "workspace.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillo::files {

struct TrashLimits {
    int64_t max_age_seconds = 30 * 24 * 3600;
    uint64_t max_bytes = 1ull << 30;
};

struct TrashItem {
    std::string id;
    Path path;
    std::string type; // "file", "directory" or "symlink"
    uint64_t size = 0;
    int64_t deleted_at = 0;
};

class Trash {
  public:
    // `now` gives the time in seconds since the epoch.
    Trash(std::string directory, TrashLimits limits = {}, std::function<int64_t()> now = nullptr);

    // Moves `path` of the workspace into the trash and answers its id.
    // Renames where it can, else copies, verifies the copy and removes the
    // original. Then removes what is over the limits, oldest first; the
    // newest item always stays, however large.
    std::string put(const Workspace& workspace, const Path& path);

    // Oldest first. Removes what is over the limits first.
    std::vector<TrashItem> list();

    // Puts the item back where it was, creating missing directories on the
    // way; 409 when that name is taken now, 404 for an unknown id.
    Path restore(const Workspace& workspace, const std::string& id);

    // Removes the item for good, without following a link inside it; 404
    // for an id that names no item.
    void erase(const std::string& id);
    // Removes every item for good; answers how many there were.
    size_t erase_all();

    const TrashLimits& limits() const { return limits_; }

  private:
    Fd open_directory();
    std::vector<TrashItem> read_items(int trash_fd);
    // The listed item `id`; 404 for an id that names none.
    TrashItem find_item(int trash_fd, const std::string& id);
    void enforce_limits(int trash_fd);

    std::string directory_;
    TrashLimits limits_;
    std::function<int64_t()> now_;
};

} // namespace quillo::files
