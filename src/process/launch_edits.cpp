#include "process/launch_edits.h"

namespace quillo::process {

namespace {

// Equal to true or to the integer 1 (true == 1, as switches compare).
bool switched_on(const Option<Scalar>& option) {
    if (!option.has_value()) {
        return false;
    }
    const Scalar& value = option.value();
    if (const bool* flag = std::get_if<bool>(&value)) {
        return *flag;
    }
    if (const long long* number = std::get_if<long long>(&value)) {
        return *number == 1;
    }
    return false;
}

long long as_flags(const Scalar& value) {
    if (const long long* number = std::get_if<long long>(&value)) {
        return *number;
    }
    if (const bool* flag = std::get_if<bool>(&value)) {
        return *flag ? 1 : 0;
    }
    throw std::invalid_argument("unsupported operand type(s) for |: 'str' and 'int'");
}

} // namespace

bool is_text_mode(const LaunchOptions& options) {
    return switched_on(options.text) || switched_on(options.universal_newlines) ||
           options.encoding.present();
}

void apply_text_mode_edit(LaunchOptions& options) {
    if (!is_text_mode(options) || options.errors.present()) {
        return;
    }
    options.errors = std::string("replace");
    if (!options.encoding.present()) {
        options.encoding = std::string("utf-8");
    }
}

void inject_no_window(LaunchOptions& options, utils::Platform platform) {
    if (platform != utils::Platform::Windows) {
        return;
    }
    if (!options.creationflags.has_value()) {
        options.creationflags = Scalar(kCreateNoWindow);
    } else {
        long long flags = as_flags(options.creationflags.value());
        if (flags == 0) {
            return; // the caller asked for a window
        }
        options.creationflags = Scalar(flags | kCreateNoWindow);
    }
    if (options.startupinfo.present()) {
        return;
    }
    StartupInfo hidden;
    hidden.dwFlags |= kStartfUseShowWindow;
    hidden.wShowWindow = 0; // SW_HIDE
    options.startupinfo = hidden;
}

} // namespace quillo::process
