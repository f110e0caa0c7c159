// The HTTP side's TLS material, checked with GnuTLS before anything listens, and the client
// certificate check made on each connection's session.
#include "site/http_tls.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace host::site {

namespace {

// Reads the whole of `path`: false, with `error` naming `what` and the system's reason.
bool ReadWhole(const std::string& path, const char* what, std::string* text, std::string* error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        *error = std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno);
        return false;
    }
    text->clear();
    std::array<char, 4096> chunk{};
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        text->append(chunk.data(), got);
        if (got < chunk.size()) break;
    }
    // ferror: non-zero when a read failed (a directory opens, then its read fails).
    if (std::ferror(file.get()) != 0) {
        *error = std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

gnutls_datum_t Datum(const std::string& text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                          static_cast<unsigned int>(text.size())};
}

struct Credentials {
    Credentials() { static_cast<void>(gnutls_certificate_allocate_credentials(&value)); }
    ~Credentials() {
        if (value != nullptr) gnutls_certificate_free_credentials(value);
    }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;
    gnutls_certificate_credentials_t value = nullptr;
};

constexpr std::array<const char*, 4> kVersionNames{"VERS-TLS1.0", "VERS-TLS1.1", "VERS-TLS1.2",
                                                   "VERS-TLS1.3"};
static_assert(static_cast<std::size_t>(TlsVersion::Tls13) + 1 == kVersionNames.size());

// Whether the client's certificate chains to the client CA: empty when it does.
std::string VerifyPeer(gnutls_session_t session) {
    unsigned int status = 0;
    // gnutls_certificate_verify_peers2: 0 on success (the verdict in `status`), negative when
    // no verification could be made.
    const int result = gnutls_certificate_verify_peers2(session, &status);
    if (result < 0) {
        return std::string("client certificate not verified: ") + gnutls_strerror(result);
    }
    if (status == 0) return "";
    gnutls_datum_t out{};
    std::string why = "client certificate not trusted";
    // gnutls_certificate_verification_status_print: 0 on success, the text allocated for us.
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &out, 0) == 0) {
        why += std::string(": ") + reinterpret_cast<const char*>(out.data);
        gnutls_free(out.data);
    }
    return why;
}

}  // namespace

std::string TlsPriorities(TlsVersion min, std::optional<TlsVersion> max) {
    std::string priorities = "NORMAL:-VERS-ALL";
    const auto last = static_cast<std::size_t>(max.value_or(TlsVersion::Tls13));
    for (auto version = static_cast<std::size_t>(min); version <= last; ++version) {
        priorities += std::string(":+") + kVersionNames[version];
    }
    return priorities;
}

bool LoadTlsMaterial(const TlsSettings& settings, TlsMaterial* material, std::string* error) {
    if (settings.maxVersion && *settings.maxVersion < settings.minVersion) {
        *error = "the highest TLS version allowed is below the lowest";
        return false;
    }
    const bool verifies = settings.clientAuth == ClientAuth::VerifyIfGiven ||
                          settings.clientAuth == ClientAuth::RequireAndVerify;
    if (verifies && settings.clientCaFile.empty()) {
        *error = "client certificates are to be verified, but no client CA file is given";
        return false;
    }
    if (!ReadWhole(settings.certFile, "certificate", &material->cert, error) ||
        !ReadWhole(settings.keyFile, "key", &material->key, error)) {
        return false;
    }
    material->clientCa.clear();
    if (!settings.clientCaFile.empty() &&
        !ReadWhole(settings.clientCaFile, "client CA file", &material->clientCa, error)) {
        return false;
    }
    Credentials credentials;
    const gnutls_datum_t cert = Datum(material->cert);
    const gnutls_datum_t key = Datum(material->key);
    // gnutls_certificate_set_x509_key_mem2: 0 (or an index) on success, negative on failure.
    const int keyResult = gnutls_certificate_set_x509_key_mem2(credentials.value, &cert, &key,
                                                               GNUTLS_X509_FMT_PEM, nullptr, 0);
    if (keyResult == GNUTLS_E_CERTIFICATE_KEY_MISMATCH) {
        *error =
            "certificate " + settings.certFile + " and key " + settings.keyFile + " do not match";
        return false;
    }
    if (keyResult < 0) {
        *error = "cannot use certificate " + settings.certFile + " with key " + settings.keyFile +
                 ": " + gnutls_strerror(keyResult);
        return false;
    }
    if (!material->clientCa.empty()) {
        const gnutls_datum_t ca = Datum(material->clientCa);
        // gnutls_certificate_set_x509_trust_mem: the number of certificates read, negative on
        // failure.
        const int caResult =
            gnutls_certificate_set_x509_trust_mem(credentials.value, &ca, GNUTLS_X509_FMT_PEM);
        if (caResult <= 0) {
            *error = "no certificate in client CA file " + settings.clientCaFile +
                     (caResult < 0 ? std::string(": ") + gnutls_strerror(caResult) : "");
            return false;
        }
    }
    material->priorities = TlsPriorities(settings.minVersion, settings.maxVersion);
    gnutls_priority_t priority = nullptr;
    const char* wrong = nullptr;
    // gnutls_priority_init: 0 on success.
    const int priorityResult =
        gnutls_priority_init(&priority, material->priorities.c_str(), &wrong);
    if (priorityResult < 0) {
        *error = "TLS versions not supported here: " + material->priorities;
        return false;
    }
    gnutls_priority_deinit(priority);
    material->clientAuth = settings.clientAuth;
    return true;
}

std::string ClientCertificateProblem(void* session, ClientAuth mode) {
    if (mode == ClientAuth::None || mode == ClientAuth::Request) return "";
    auto* tls = static_cast<gnutls_session_t>(session);
    unsigned int count = 0;
    const gnutls_datum_t* peers = gnutls_certificate_get_peers(tls, &count);
    const bool given = peers != nullptr && count > 0;
    switch (mode) {
        case ClientAuth::RequireAny:
            return given ? "" : "no client certificate";
        case ClientAuth::VerifyIfGiven:
            return given ? VerifyPeer(tls) : "";
        case ClientAuth::RequireAndVerify:
            return given ? VerifyPeer(tls) : "no client certificate";
        default:
            return "";
    }
}

}  // namespace host::site
