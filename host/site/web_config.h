// serve's web configuration file, in the format Prometheus exporters share: TLS for the HTTP
// side (certificate, key, the CA that client certificates must chain to, how client certificates
// are asked for, the lowest and highest TLS version) and the users allowed in, each with a bcrypt
// hash of their password. A site's existing file works unchanged.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::site {

// How the server asks for client certificates ("client_auth_type").
enum class ClientAuth {
    None,              // "NoClientCert" (the default)
    Request,           // "RequestClientCert": asked for, not checked
    RequireAny,        // "RequireAnyClientCert": one must come, not checked
    VerifyIfGiven,     // "VerifyClientCertIfGiven"
    RequireAndVerify,  // "RequireAndVerifyClientCert"
};

enum class TlsVersion { Tls10, Tls11, Tls12, Tls13 };

// The files are as the web configuration names them, relative ones taken from the file's folder;
// LoadWebConfig has read each and checked that the key matches the certificate.
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
    std::optional<TlsSettings> tls;            // none: plain HTTP
    std::map<std::string, std::string> users;  // name -> bcrypt hash; empty: no login asked
    // Keys the file gives that only choose among safe settings serve makes its own way (cipher
    // suites, curves, HTTP/2): one "FILE:LINE: ..." note each, for the command to print.
    std::vector<std::string> notes;
};

// Reads and checks the file at `path`: false, with `error` saying what and where ("FILE:LINE:
// key: reason"), for a file that does not open or parse, an unknown key or a value of the wrong
// kind, a certificate, key or CA file that cannot be read or does not hold what it should, a key
// that does not match its certificate, a client_auth_type that verifies certificates without a
// client_ca_file, a password hash that is not bcrypt, or a key whose restriction serve cannot
// keep (inline PEM, client_allowed_sans, response headers).
bool LoadWebConfig(const std::string& path, WebConfig* config, std::string* error);

// True for "$2a$", "$2b$" or "$2y$", a two-digit cost of 4 to 31, and the 53 characters of salt
// and hash in bcrypt's alphabet: what the system's crypt checks as bcrypt.
bool IsBcryptHash(std::string_view hash);

}  // namespace host::site
