// The IDE's settings that follow the user to every device: a small JSON
// object of named values, kept by the server in one file of its
// configuration folder.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

namespace quillo::files {

struct SettingsLimits {
    size_t max_keys = 64; // stored in all
    size_t max_key_length = 64;
    size_t max_string_bytes = 256;
    size_t max_array_items = 64;
};

class SettingsStore {
  public:
    // `directory` holds the file, ide_settings.json.
    explicit SettingsStore(std::string directory, SettingsLimits limits = {});

    // What is stored; {} when nothing is, or when the file cannot be read
    // or parsed.
    nlohmann::json read() const;

    // Merges `changes` (an object) into what is stored, a null value
    // removing its key, and answers the result. The file is replaced
    // atomically and is only for its owner (0600). A stored file that cannot
    // be parsed is kept as ide_settings.json.bad first, never overwritten.
    // Throws FileError 400 naming what is wrong, with nothing stored.
    nlohmann::json merge(const nlohmann::json& changes);

  private:
    std::string directory_;
    SettingsLimits limits_;
};

} // namespace quillo::files
