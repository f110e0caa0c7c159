// The passwords of serve's HTTP side: checking a user's password against the bcrypt hash the
// web configuration gives, and making such a hash (vpihost hash-password).
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "core/non_copyable.h"

namespace host::site {

// The bcrypt costs hash-password makes: 2^cost rounds. Above 16 a first check takes seconds on
// a small box, longer than a scrape waits.
inline constexpr int kMinBcryptCost = 4;
inline constexpr int kMaxBcryptCost = 16;
inline constexpr int kDefaultBcryptCost = 10;

// A "$2b$" bcrypt hash of `password` with a fresh random salt, through the system's crypt.
// False, with `error` saying why, for a cost outside kMinBcryptCost..kMaxBcryptCost or when the
// system has no random bytes or no bcrypt.
bool HashPassword(std::string_view password, int cost, std::string* hash, std::string* error);

// Checks (user, password) pairs against the users of the web configuration. A bcrypt check
// costs tens of milliseconds by design; a scraper sends the same pair every few seconds, so a
// pair once found right (or wrong) is remembered, as an HMAC-SHA256 of the pair under a key
// drawn at random for this object, never as the password itself. Safe to call from any thread.
class PasswordCheck : core::NonCopyable {
public:
    // `users`: name -> bcrypt hash, as LoadWebConfig gives them (already checked to be bcrypt).
    explicit PasswordCheck(std::map<std::string, std::string> users);

    // True when `user` is a user and `password` matches its hash. An unknown user costs a bcrypt
    // check as a wrong password does (against a hash of nothing anyone knows), so a reply's time
    // does not tell which user names exist. The hashes are compared in constant time.
    bool Check(std::string_view user, std::string_view password);

    // Pairs answered from memory so far, and bcrypt checks made: for the tests.
    long CachedAnswers() const;
    long BcryptChecks() const;

    // How many wrong pairs are remembered; the oldest is forgotten past it.
    static constexpr std::size_t kWrongRemembered = 64;

private:
    using Digest = std::array<unsigned char, 32>;

    Digest PairDigest(std::string_view user, std::string_view password) const;

    std::map<std::string, std::string> users_;
    std::string dummyHash_;  // for users not in users_
    std::array<unsigned char, 32> key_{};
    mutable std::mutex mutex_;
    std::map<std::string, Digest, std::less<>> right_;  // per user, the pair last found right
    std::deque<Digest> wrong_;
    long cachedAnswers_ = 0;
    long bcryptChecks_ = 0;
};

}  // namespace host::site
