// What the session-cookie target and the seed writer agree on, so that the
// committed seeds stay valid cookies for the target.
#pragma once

#include <cstdint>

namespace quillo::fuzz {

inline constexpr const char* kSessionSecret = "fuzzing only: never a real secret key";
inline constexpr int64_t kSessionLifetime = 30 * 24 * 3600;
// Seeds are signed at this time and decoded at it, so they never expire.
inline constexpr int64_t kSessionNow = 1767225600; // 2026-01-01T00:00:00Z

} // namespace quillo::fuzz
