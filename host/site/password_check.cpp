// bcrypt through the system's crypt (libxcrypt), and the memory of pairs already checked as
// HMACs through GnuTLS.
#include "site/password_check.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace host::site {

namespace {

// Equal bytes, in a time that depends on the lengths alone.
bool SameBytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

// The cost digits of a bcrypt hash LoadWebConfig has checked ("$2b$10$..." -> 10).
int CostOf(const std::string& hash) {
    return (hash[4] - '0') * 10 + (hash[5] - '0');
}

// bcrypt of `password` with the salt and cost of `setting` (a whole hash will do); empty when
// crypt refuses. crypt_rn needs a NUL-terminated password, so one with a NUL in it is cut there
// as crypt would; such a password cannot be typed into a basic-auth prompt anyway.
std::string Bcrypt(std::string_view password, const std::string& setting) {
    // struct crypt_data is 32 kB: too much for the stack of a server's worker thread.
    auto data = std::make_unique<crypt_data>();
    const std::string phrase(password.substr(0, password.find('\0')));
    const char* out = crypt_rn(phrase.c_str(), setting.c_str(), data.get(), sizeof(crypt_data));
    // On failure crypt_rn returns null, or a text starting with "*" where it follows the old
    // crypt's habit.
    if (out == nullptr || out[0] == '*') return {};
    return out;
}

}  // namespace

bool HashPassword(std::string_view password, int cost, std::string* hash, std::string* error) {
    if (cost < kMinBcryptCost || cost > kMaxBcryptCost) {
        *error = "the cost must be " + std::to_string(kMinBcryptCost) + " to " +
                 std::to_string(kMaxBcryptCost);
        return false;
    }
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // A null source of random bytes: crypt takes them from the system (getrandom).
    errno = 0;
    if (crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) == nullptr) {
        *error = std::string("crypt cannot make a bcrypt salt: ") +
                 (errno != 0 ? std::strerror(errno) : "unknown reason");
        return false;
    }
    *hash = Bcrypt(password, setting);
    if (hash->empty()) {
        *error = "crypt cannot hash with bcrypt";
        return false;
    }
    return true;
}

PasswordCheck::PasswordCheck(std::map<std::string, std::string> users) : users_(std::move(users)) {
    int cost = kMinBcryptCost;
    for (const auto& [user, hash] : users_) cost = std::max(cost, CostOf(hash));
    // A hash of the users' highest cost that no password is known to match: an unknown user's
    // check costs as much as a known one's.
    dummyHash_ = std::string("$2b$") + (cost < 10 ? "0" : "") + std::to_string(cost) +
                 "$abcdefghijklmnopqrstuuABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
    // The key is only ever used in this process; if the system had no random bytes the HMACs
    // would still never hold the passwords.
    (void)gnutls_rnd(GNUTLS_RND_KEY, key_.data(), key_.size());
}

PasswordCheck::Digest PasswordCheck::PairDigest(std::string_view user,
                                                std::string_view password) const {
    // The user's length first, so ("ab", "c") and ("a", "bc") never share a digest.
    std::string pair = std::to_string(user.size()) + ":";
    pair.append(user);
    pair.append(password);
    Digest digest{};
    (void)gnutls_hmac_fast(GNUTLS_MAC_SHA256, key_.data(), key_.size(), pair.data(), pair.size(),
                           digest.data());
    return digest;
}

bool PasswordCheck::Check(std::string_view user, std::string_view password) {
    const auto found = users_.find(std::string(user));
    const bool known = found != users_.end();
    const Digest digest = PairDigest(user, password);
    const std::string_view digestText(reinterpret_cast<const char*>(digest.data()), digest.size());
    auto same = [&digestText](const Digest& other) {
        return SameBytes(digestText, std::string_view(reinterpret_cast<const char*>(other.data()),
                                                      other.size()));
    };
    {
        std::lock_guard lock(mutex_);
        if (const auto right = right_.find(user); right != right_.end() && same(right->second)) {
            ++cachedAnswers_;
            return true;
        }
        if (std::any_of(wrong_.begin(), wrong_.end(), same)) {
            ++cachedAnswers_;
            return false;
        }
    }
    // The bcrypt round runs outside the lock: other requests are checked meanwhile.
    const std::string& hash = known ? found->second : dummyHash_;
    const std::string computed = Bcrypt(password, hash);
    const bool right = known && !computed.empty() && SameBytes(computed, hash);
    std::lock_guard lock(mutex_);
    ++bcryptChecks_;
    if (right) {
        right_[found->first] = digest;
    } else {
        wrong_.push_back(digest);
        if (wrong_.size() > kWrongRemembered) wrong_.pop_front();
    }
    return right;
}

long PasswordCheck::CachedAnswers() const {
    std::lock_guard lock(mutex_);
    return cachedAnswers_;
}

long PasswordCheck::BcryptChecks() const {
    std::lock_guard lock(mutex_);
    return bcryptChecks_;
}

}  // namespace host::site
