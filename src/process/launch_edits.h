// The two edits every launch's options get before the child starts, kept
// apart from the launching so that both platforms' rules can be tested on
// any platform.
#pragma once

#include "quillo/process.h"
#include "utils/platform.h"

namespace quillo::process {

// Text mode: `text` or `universal_newlines` equal to true or 1, or an
// `encoding` key present (even null). Other values of the switches (false,
// 0, null, a text) do not count.
bool is_text_mode(const LaunchOptions& options);

// In text mode without an `errors` key: errors = "replace", and encoding =
// "utf-8" when no encoding key is present. A present `errors` (any value,
// null included) leaves both alone.
void apply_text_mode_edit(LaunchOptions& options);

// Windows only: adds CREATE_NO_WINDOW to the creation flags (absent or null
// flags become just that; flags of 0 mean the caller wants a window and
// nothing is touched) and, unless the caller gave one, a start-up record
// that hides the window. Throws std::invalid_argument for creation flags
// that are not a number.
void inject_no_window(LaunchOptions& options, utils::Platform platform);

} // namespace quillo::process
