// TLS for the HTTP side, on GnuTLS: the certificate, key and client CA read and checked before
// the server starts, the protocol versions as a priority string, and the verdict on a
// connection's client certificate for each way of asking for one.
#pragma once

#include <optional>
#include <string>

#include "site/web_config.h"

namespace host::site {

// What the server is given: the files' contents (PEM) and how to treat client certificates.
struct TlsMaterial {
    std::string cert;
    std::string key;
    std::string clientCa;  // empty: none
    std::string priorities;
    ClientAuth clientAuth = ClientAuth::None;
};

// Reads `settings`' files and checks them: false, with `error` saying which file and why
// ("cannot read certificate FILE: No such file or directory", "certificate and key do not
// match", "no certificate in client CA file FILE", ...). A mode that checks client certificates
// needs a client CA file.
[[nodiscard]] bool LoadTlsMaterial(const TlsSettings& settings, TlsMaterial* material,
                                   std::string* error);

// The GnuTLS priority string allowing `min` up to `max` (none: the highest GnuTLS knows).
std::string TlsPriorities(TlsVersion min, std::optional<TlsVersion> max);

// Whether the client of a TLS session (a gnutls_session_t whose credentials trust the client
// CA) may send requests under `mode`: empty when it may, otherwise why not ("no client
// certificate", "client certificate not signed by the client CA", ...).
std::string ClientCertificateProblem(void* session, ClientAuth mode);

}  // namespace host::site
