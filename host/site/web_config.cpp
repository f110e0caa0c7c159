// Reading serve's web configuration file (YAML, through yaml-cpp) into its model, with the
// certificate, key and CA files read and checked through GnuTLS before anything listens.
#include "site/web_config.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <yaml-cpp/yaml.h>

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace host::site {

namespace {

// How a key of the file is taken.
enum class KeyUse {
    Read,     // read into the model
    Ignored,  // accepted and noted: it only picks among settings that are safe either way
    Refused,  // a restriction serve cannot keep: ignoring it would let in more than it says
};

struct KeyRule {
    const char* name;
    KeyUse use;
    const char* why;  // for Ignored and Refused keys
};

constexpr auto kTopKeys = std::to_array<KeyRule>({
    {"tls_server_config", KeyUse::Read, ""},
    {"http_server_config", KeyUse::Read, ""},
    {"basic_auth_users", KeyUse::Read, ""},
    {"rate_limit", KeyUse::Ignored,
     "serve bounds the connections of each client and in total itself"},
});

constexpr auto kTlsKeys = std::to_array<KeyRule>({
    {"cert_file", KeyUse::Read, ""},
    {"key_file", KeyUse::Read, ""},
    {"client_ca_file", KeyUse::Read, ""},
    {"client_auth_type", KeyUse::Read, ""},
    {"min_version", KeyUse::Read, ""},
    {"max_version", KeyUse::Read, ""},
    {"cipher_suites", KeyUse::Ignored,
     "the TLS library's own secure suites are used (no export, RC4, 3DES or NULL suite)"},
    {"curve_preferences", KeyUse::Ignored, "the TLS library's own secure curves are used"},
    {"prefer_server_cipher_suites", KeyUse::Ignored,
     "the TLS library's own order of suites is used"},
    {"cert", KeyUse::Refused,
     "a certificate written into this file: put it in a file and give "
     "cert_file"},
    {"key", KeyUse::Refused, "a key written into this file: put it in a file and give key_file"},
    {"client_ca", KeyUse::Refused,
     "a CA written into this file: put it in a file and give "
     "client_ca_file"},
    {"client_allowed_sans", KeyUse::Refused,
     "serve cannot match client certificates' names; remove it, or restrict clients by their "
     "CA (client_ca_file)"},
});

constexpr auto kHttpKeys = std::to_array<KeyRule>({
    {"http2", KeyUse::Ignored, "serve speaks HTTP/1.1, which every scraper and browser speaks"},
    {"headers", KeyUse::Read, ""},
});

struct NamedAuth {
    const char* name;
    ClientAuth auth;
    bool verifies;  // needs client_ca_file
};

constexpr auto kClientAuths = std::to_array<NamedAuth>({
    {"NoClientCert", ClientAuth::None, false},
    {"RequestClientCert", ClientAuth::Request, false},
    {"RequireAnyClientCert", ClientAuth::RequireAny, false},
    {"VerifyClientCertIfGiven", ClientAuth::VerifyIfGiven, true},
    {"RequireAndVerifyClientCert", ClientAuth::RequireAndVerify, true},
});

constexpr auto kVersions = std::to_array<std::pair<const char*, TlsVersion>>({
    {"TLS10", TlsVersion::Tls10},
    {"TLS11", TlsVersion::Tls11},
    {"TLS12", TlsVersion::Tls12},
    {"TLS13", TlsVersion::Tls13},
});

// A file's whole text, or false with the system's reason.
bool ReadWhole(const std::string& path, std::string* text, std::string* reason) {
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        *reason = "a directory, not a file";
        return false;
    }
    text->clear();
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) *reason = "cannot be read";
    return !failed;
}

gnutls_datum_t Datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned int>(text.size())};
}

// The number of PEM certificates in `pem` (0 when none parses), or a negative GnuTLS error.
int CountCertificates(const std::string& pem) {
    const gnutls_datum_t datum = Datum(pem);
    gnutls_x509_crt_t* list = nullptr;
    unsigned int size = 0;
    const int result = gnutls_x509_crt_list_import2(&list, &size, &datum, GNUTLS_X509_FMT_PEM, 0);
    if (result < 0) return result;
    for (unsigned int i = 0; i < size; ++i) gnutls_x509_crt_deinit(list[i]);
    gnutls_free(list);
    return static_cast<int>(size);
}

class Reader {
public:
    Reader(const std::string& path, WebConfig* config, std::string* error)
        : path_(path), config_(config), error_(error) {
        const std::size_t slash = path.rfind('/');
        folder_ = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    }

    bool Top(const YAML::Node& root) {
        if (root.IsNull()) return true;  // an empty file: plain HTTP, no login
        if (!root.IsMap()) return Fail(root, "", "the file must be a mapping of keys");
        if (!Keys(root, "", kTopKeys)) return false;
        if (const YAML::Node tls = root["tls_server_config"]; tls && !tls.IsNull()) {
            if (!Tls(tls)) return false;
        }
        if (const YAML::Node http = root["http_server_config"]; http && !http.IsNull()) {
            if (!Http(http)) return false;
        }
        if (const YAML::Node users = root["basic_auth_users"]; users && !users.IsNull()) {
            if (!Users(users)) return false;
        }
        return true;
    }

    bool Fail(const YAML::Node& at, const std::string& key, const std::string& reason) {
        std::string where = path_;
        if (at.Mark().line >= 0) where += ":" + std::to_string(at.Mark().line + 1);
        *error_ = where + ": " + (key.empty() ? "" : key + ": ") + reason;
        return false;
    }

private:
    // Checks every key of the mapping `node` (named `prefix`) against `rules`: unknown, repeated
    // and refused keys fail; ignored ones are noted.
    template <std::size_t N>
    bool Keys(const YAML::Node& node, const std::string& prefix,
              const std::array<KeyRule, N>& rules) {
        std::set<std::string> seen;
        for (const auto& entry : node) {
            const std::string key = entry.first.Scalar();
            const std::string full = prefix.empty() ? key : prefix + "." + key;
            if (!seen.insert(key).second) return Fail(entry.first, full, "given twice");
            const KeyRule* rule = nullptr;
            for (const KeyRule& candidate : rules) {
                if (key == candidate.name) rule = &candidate;
            }
            if (rule == nullptr) {
                std::string known;
                for (const KeyRule& candidate : rules) {
                    known += std::string(known.empty() ? "" : ", ") + candidate.name;
                }
                return Fail(entry.first, full, "unknown key (known here: " + known + ")");
            }
            if (rule->use == KeyUse::Refused) {
                return Fail(entry.first, full, std::string("not supported: ") + rule->why);
            }
            if (rule->use == KeyUse::Ignored) {
                config_->notes.push_back(path_ + ":" + std::to_string(entry.first.Mark().line + 1) +
                                         ": " + full + " ignored: " + rule->why);
            }
        }
        return true;
    }

    bool Text(const YAML::Node& node, const std::string& key, std::string* text) {
        if (!node.IsScalar()) return Fail(node, key, "must be a text");
        *text = node.Scalar();
        return true;
    }

    // A file named by the configuration, relative ones from the configuration's folder.
    std::string FilePath(const std::string& name) const {
        return name.empty() || name.front() == '/' ? name : folder_ + name;
    }

    bool Tls(const YAML::Node& node) {
        if (!node.IsMap()) return Fail(node, "tls_server_config", "must be a mapping of keys");
        if (!Keys(node, "tls_server_config", kTlsKeys)) return false;
        TlsSettings tls;
        const std::pair<const char*, std::string*> files[] = {
            {"cert_file", &tls.certFile},
            {"key_file", &tls.keyFile},
            {"client_ca_file", &tls.clientCaFile}};
        for (const auto& [name, field] : files) {
            const YAML::Node value = node[name];
            if (!value || value.IsNull()) continue;
            if (!Text(value, std::string("tls_server_config.") + name, field)) return false;
            *field = FilePath(*field);
        }
        if (tls.certFile.empty()) return Fail(node, "tls_server_config", "cert_file is missing");
        if (tls.keyFile.empty()) return Fail(node, "tls_server_config", "key_file is missing");
        bool verifies = false;
        if (const YAML::Node value = node["client_auth_type"]; value && !value.IsNull()) {
            std::string name;
            if (!Text(value, "tls_server_config.client_auth_type", &name)) return false;
            const NamedAuth* found = nullptr;
            for (const NamedAuth& candidate : kClientAuths) {
                if (name == candidate.name) found = &candidate;
            }
            if (found == nullptr) {
                return Fail(value, "tls_server_config.client_auth_type",
                            "\"" + name +
                                "\" is none of NoClientCert, RequestClientCert, "
                                "RequireAnyClientCert, VerifyClientCertIfGiven, "
                                "RequireAndVerifyClientCert");
            }
            tls.clientAuth = found->auth;
            verifies = found->verifies;
        }
        if (verifies && tls.clientCaFile.empty()) {
            return Fail(node["client_auth_type"], "tls_server_config.client_auth_type",
                        "verifying client certificates needs client_ca_file, the CA they must "
                        "chain to");
        }
        if (!tls.clientCaFile.empty() && tls.clientAuth == ClientAuth::None) {
            // A CA with no policy that asks for certificates: whoever wrote it believes clients
            // are checked, and none would be.
            return Fail(node["client_ca_file"], "tls_server_config.client_ca_file",
                        "given without a client_auth_type that asks for client certificates "
                        "(RequireAndVerifyClientCert checks them against it)");
        }
        if (!Version(node["min_version"], "tls_server_config.min_version", &tls.minVersion)) {
            return false;
        }
        if (const YAML::Node value = node["max_version"]; value && !value.IsNull()) {
            TlsVersion max = TlsVersion::Tls13;
            if (!Version(value, "tls_server_config.max_version", &max)) return false;
            if (max < tls.minVersion) {
                return Fail(value, "tls_server_config.max_version", "lower than min_version");
            }
            tls.maxVersion = max;
        }
        if (!Certificates(node, tls)) return false;
        config_->tls = tls;
        return true;
    }

    bool Version(const YAML::Node& value, const std::string& key, TlsVersion* version) {
        if (!value || value.IsNull()) return true;
        std::string name;
        if (!Text(value, key, &name)) return false;
        for (const auto& [text, candidate] : kVersions) {
            if (name == text) {
                *version = candidate;
                return true;
            }
        }
        return Fail(value, key, "\"" + name + "\" is none of TLS10, TLS11, TLS12, TLS13");
    }

    // Reads the certificate, key and CA files and checks that each holds what it should and
    // that the key is the certificate's, so a bad file stops serve before it listens.
    bool Certificates(const YAML::Node& node, const TlsSettings& tls) {
        std::string cert;
        std::string key;
        std::string reason;
        if (!ReadWhole(tls.certFile, &cert, &reason)) {
            return Fail(node["cert_file"], "tls_server_config.cert_file",
                        "cannot read " + tls.certFile + ": " + reason);
        }
        if (CountCertificates(cert) <= 0) {
            return Fail(node["cert_file"], "tls_server_config.cert_file",
                        tls.certFile + " holds no PEM certificate");
        }
        if (!ReadWhole(tls.keyFile, &key, &reason)) {
            return Fail(node["key_file"], "tls_server_config.key_file",
                        "cannot read " + tls.keyFile + ": " + reason);
        }
        gnutls_certificate_credentials_t credentials = nullptr;
        if (gnutls_certificate_allocate_credentials(&credentials) < 0) {
            return Fail(node, "tls_server_config", "the TLS library cannot start");
        }
        const gnutls_datum_t certDatum = Datum(cert);
        const gnutls_datum_t keyDatum = Datum(key);
        const int paired = gnutls_certificate_set_x509_key_mem2(credentials, &certDatum, &keyDatum,
                                                                GNUTLS_X509_FMT_PEM, nullptr, 0);
        gnutls_certificate_free_credentials(credentials);
        if (paired < 0) {
            const bool mismatch = paired == GNUTLS_E_CERTIFICATE_KEY_MISMATCH;
            return Fail(node["key_file"], "tls_server_config.key_file",
                        mismatch ? tls.keyFile + " is not the key of " + tls.certFile
                                 : tls.keyFile + " holds no unencrypted PEM private key (" +
                                       gnutls_strerror(paired) + ")");
        }
        if (tls.clientCaFile.empty()) return true;
        std::string ca;
        if (!ReadWhole(tls.clientCaFile, &ca, &reason)) {
            return Fail(node["client_ca_file"], "tls_server_config.client_ca_file",
                        "cannot read " + tls.clientCaFile + ": " + reason);
        }
        if (CountCertificates(ca) <= 0) {
            return Fail(node["client_ca_file"], "tls_server_config.client_ca_file",
                        tls.clientCaFile + " holds no PEM certificate");
        }
        return true;
    }

    bool Http(const YAML::Node& node) {
        if (!node.IsMap()) return Fail(node, "http_server_config", "must be a mapping of keys");
        if (!Keys(node, "http_server_config", kHttpKeys)) return false;
        const YAML::Node headers = node["headers"];
        if (!headers || headers.IsNull()) return true;
        if (!headers.IsMap()) {
            return Fail(headers, "http_server_config.headers", "must be a mapping of keys");
        }
        // A header left blank is unset, as if not given; one with a value is a protection for
        // browsers (frames, content types, HTTPS only) that serve would silently not give.
        for (const auto& entry : headers) {
            if (entry.second.IsNull() || (entry.second.IsScalar() && entry.second.Scalar().empty()))
                continue;
            return Fail(entry.first, "http_server_config.headers." + entry.first.Scalar(),
                        "not supported: serve sets no response headers from this file; remove "
                        "it or leave it blank");
        }
        return true;
    }

    bool Users(const YAML::Node& node) {
        if (!node.IsMap()) {
            return Fail(node, "basic_auth_users", "must be a mapping of user names to hashes");
        }
        std::set<std::string> seen;
        for (const auto& entry : node) {
            const std::string user = entry.first.Scalar();
            const std::string key = "basic_auth_users." + user;
            if (!seen.insert(user).second) return Fail(entry.first, key, "given twice");
            if (user.empty() || user.find(':') != std::string::npos) {
                return Fail(entry.first, key,
                            "a user name must not be empty nor hold \":\" (basic auth cannot "
                            "carry it)");
            }
            std::string hash;
            if (!Text(entry.second, key, &hash)) return false;
            if (!IsBcryptHash(hash)) {
                return Fail(entry.second, key,
                            "not a bcrypt hash ($2a$, $2b$ or $2y$, a cost of 04 to 31 and 53 "
                            "characters): make one with `vpihost hash-password`");
            }
            config_->users[user] = hash;
        }
        return true;
    }

    std::string path_;
    std::string folder_;
    WebConfig* config_;
    std::string* error_;
};

}  // namespace

bool IsBcryptHash(std::string_view hash) {
    constexpr std::size_t kLength = 60;  // "$2b$10$" + 22 of salt + 31 of hash
    if (hash.size() != kLength || hash.substr(0, 2) != "$2" || hash[3] != '$' || hash[6] != '$') {
        return false;
    }
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
    if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return false;
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31) return false;
    for (const char c : hash.substr(7)) {
        const bool inAlphabet = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '.' || c == '/';
        if (!inAlphabet) return false;
    }
    return true;
}

bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error) {
    *config = WebConfig{};
    config->file = path;
    std::string text;
    std::string reason;
    if (!ReadWhole(path, &text, &reason)) {
        *error = path + ": " + reason;
        return false;
    }
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        *error = path + ":" + std::to_string(e.mark.line + 1) + ": not YAML: " + e.msg;
        return false;
    }
    Reader reader(path, config, error);
    bool ok = false;
    try {
        ok = reader.Top(root);
    } catch (const YAML::Exception& e) {
        // A key that is itself a mapping or a list, or a node of an unexpected shape.
        *error = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return false;
    }
    if (!ok) {
        const std::string file = config->file;
        *config = WebConfig{};
        config->file = file;
    }
    return ok;
}

}  // namespace host::site
