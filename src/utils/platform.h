// The platform the server runs on, as a value, so that rules which differ
// between platforms can be tested for every platform on any of them.
#pragma once

namespace quillo::utils {

enum class Platform { Linux, MacOS, Windows, Other };

constexpr Platform current_platform() {
#if defined(_WIN32)
    return Platform::Windows;
#elif defined(__APPLE__)
    return Platform::MacOS;
#elif defined(__linux__)
    return Platform::Linux;
#else
    return Platform::Other;
#endif
}

} // namespace quillo::utils
