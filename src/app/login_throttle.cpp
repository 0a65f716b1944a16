#include "app/login_throttle.h"

#include "utils/utils.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstring>
#include <netinet/in.h>

namespace quillo::app {

LoginThrottle::LoginThrottle(Clock clock, size_t capacity)
    : clock_(std::move(clock)), capacity_(capacity) {}

double LoginThrottle::steady_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string LoginThrottle::client_key(std::string_view address) {
    if (utils::is_loopback_address(address)) {
        return "loopback";
    }
    std::string text(address.substr(0, address.find('%'))); // no zone index
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1) {
        return text; // IPv4, or whatever the transport gave
    }
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        char v4[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &v6.s6_addr[12], v4, sizeof v4);
        return v4;
    }
    std::memset(&v6.s6_addr[8], 0, 8);
    char prefix[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, &v6, prefix, sizeof prefix);
    return std::string(prefix) + "/64";
}

// Entries are ordered by their last failure, so the forgotten ones are at
// the end.
void LoginThrottle::forget_old(double now) {
    while (!order_.empty() && now - order_.back().last_failure >= kForgetAfter) {
        index_.erase(order_.back().key);
        order_.pop_back();
    }
    if (overflow_ && now - overflow_->last_failure >= kForgetAfter) {
        overflow_.reset();
    }
}

// Where a failure of `key` counts: its own entry; the overflow while the
// table has no room for it; nothing when its failure would start an entry.
LoginThrottle::Entry* LoginThrottle::counting_entry(const std::string& key) {
    if (auto it = index_.find(key); it != index_.end()) {
        return &*it->second;
    }
    if (order_.size() >= capacity_ && overflow_) {
        return &*overflow_;
    }
    return nullptr;
}

void LoginThrottle::count_failure(Entry& entry, double now) {
    entry.failures += 1;
    entry.last_failure = now;
    if (entry.failures > kFreeFailures) {
        // The exponent stops growing long before the cap: 2^10 s > 15 min.
        int doublings = std::min(entry.failures - kFreeFailures - 1, 20);
        entry.blocked_until = now + std::min(std::ldexp(1.0, doublings), kMaxDelay);
    }
}

std::optional<int64_t> LoginThrottle::wait_before_attempt(std::string_view address) {
    std::lock_guard lock(mutex_);
    double now = clock_();
    forget_old(now);
    Entry* entry = counting_entry(client_key(address));
    if (entry == nullptr || now >= entry->blocked_until) {
        return std::nullopt;
    }
    return static_cast<int64_t>(std::ceil(entry->blocked_until - now));
}

void LoginThrottle::record_failure(std::string_view address) {
    std::lock_guard lock(mutex_);
    double now = clock_();
    forget_old(now);
    std::string key = client_key(address);
    if (auto it = index_.find(key); it != index_.end()) {
        order_.splice(order_.begin(), order_, it->second);
        count_failure(order_.front(), now);
    } else if (order_.size() < capacity_) {
        order_.push_front(Entry{key});
        index_.emplace(std::move(key), order_.begin());
        count_failure(order_.front(), now);
    } else {
        if (!overflow_) {
            // Assigned, not emplace()d: clang takes Entry, whose members have
            // initialisers, for not default-constructible inside its class.
            overflow_ = Entry{};
        }
        count_failure(*overflow_, now);
    }
}

void LoginThrottle::record_success(std::string_view address) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(client_key(address));
    if (it != index_.end()) {
        order_.erase(it->second);
        index_.erase(it);
    }
}

size_t LoginThrottle::size() {
    std::lock_guard lock(mutex_);
    return order_.size() + (overflow_ ? 1 : 0);
}

} // namespace quillo::app
