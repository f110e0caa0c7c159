// serve's web configuration file, in the format Prometheus exporters share: TLS for the HTTP
// side (certificate, key, the CA that client certificates must chain to, how client certificates
// are asked for, the lowest and highest TLS version) and the users allowed in, each with a bcrypt
// hash of their password. A site's existing file works unchanged.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace host::site {

// How the server asks for client certificates ("client_auth_type").
enum class ClientAuth {
    None,                      // "NoClientCert" (the default)
    Request,                   // "RequestClientCert": asked for, not checked
    RequireAny,                // "RequireAnyClientCert": one must come, not checked
    VerifyIfGiven,             // "VerifyClientCertIfGiven"
    RequireAndVerify,          // "RequireAndVerifyClientCert"
};

enum class TlsVersion { Tls10, Tls11, Tls12, Tls13 };

struct TlsSettings {
    std::string certFile;
    std::string keyFile;
    std::string clientCaFile;  // empty: none
    ClientAuth clientAuth = ClientAuth::None;
    TlsVersion minVersion = TlsVersion::Tls12;
    std::optional<TlsVersion> maxVersion;  // none: the highest the library knows
};

struct WebConfig {
    std::string file;
    std::optional<TlsSettings> tls;             // none: plain HTTP
    std::map<std::string, std::string> users;  // name -> bcrypt hash; empty: no login asked
};

// Reads and checks the file at `path`: false, with `error` saying what and where, for a file
// that does not open or parse, an unknown key, a certificate or key that cannot be read, or a
// password hash that is not bcrypt.
bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error);

}  // namespace host::site
