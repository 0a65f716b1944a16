// Slows down password guessing, per client address.
//
// The first kFreeFailures failed logins of an address cost nothing; after
// that it must wait before its next attempt, 1 s after the sixth failure,
// doubling with each further one, at most 15 minutes. A login that works
// clears the address; an address with no failure for an hour is forgotten.
// IPv6 clients count per /64, the block one machine usually holds. All of
// loopback (127.0.0.0/8, ::1, ::ffff:127.0.0.0/104) is one address: any
// program on this device can connect from every one of them, so counting
// them apart would give it 5 free guesses per address.
//
// The table keeps at most `capacity` addresses, so a flood of addresses
// cannot grow memory, and it never drops one to make room: that would free
// a guesser that is made to wait. Addresses leave only by age or a login
// that works. The addresses that find the table full share one more entry,
// the overflow: their failures count there and they wait on it.
//
// So the owner is not immune: from this device while a program on it
// guesses, or from an address new to a table that a flood has filled, the
// owner waits with the guessers. The waits live in memory only; a restart
// of the server clears them.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillo::app {

class LoginThrottle {
  public:
    // Seconds on a clock that never goes back (steady).
    using Clock = std::function<double()>;

    static constexpr int kFreeFailures = 5;
    static constexpr double kMaxDelay = 15 * 60;
    static constexpr double kForgetAfter = 3600;
    static constexpr size_t kCapacity = 4096;

    explicit LoginThrottle(Clock clock = steady_seconds, size_t capacity = kCapacity);

    // Whole seconds the address must still wait before a login attempt, or
    // nothing when it may try now. An address that is not in the table
    // while the table is full reads the overflow's wait: its failure would
    // count there.
    std::optional<int64_t> wait_before_attempt(std::string_view address);
    void record_failure(std::string_view address);
    // Clears the address's own entry. The overflow stays as it is even when
    // the address counted there: it is shared with whoever else found the
    // table full, and the owner's login must not reset the guessers' wait.
    void record_success(std::string_view address);

    // Entries held, the overflow included: at most capacity + 1.
    size_t size();

    static double steady_seconds();
    // "203.0.113.7" as it is; "2001:db8:1:2:3:4:5:6" -> "2001:db8:1:2::/64";
    // an IPv4 address mapped into IPv6 as the IPv4 address; every loopback
    // address -> "loopback".
    static std::string client_key(std::string_view address);

  private:
    struct Entry {
        std::string key;
        int failures = 0;
        double last_failure = 0;
        double blocked_until = 0;
    };
    using Order = std::list<Entry>; // most recent failure first

    void forget_old(double now);
    Entry* counting_entry(const std::string& key);
    static void count_failure(Entry& entry, double now);

    Clock clock_;
    size_t capacity_;
    std::mutex mutex_;
    Order order_;
    std::unordered_map<std::string, Order::iterator> index_;
    std::optional<Entry> overflow_;
};

} // namespace quillo::app
