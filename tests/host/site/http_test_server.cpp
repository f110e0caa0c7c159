// A test-only front of the HTTP side: an HttpServer over a site without lines, with the TLS
// settings and users its command line gives, so the TLS suite drives the server as serve will
// once a web configuration file wires it:
//   vpi_http_test_server [--cert F --key F [--ca F] [--client-auth MODE] [--min V] [--max V]]
//                        [--user NAME:PASSWORD]... [--check-delay-ms N]
// MODE: none|request|require-any|verify-if-given|require-and-verify; V: 1.0|1.1|1.2|1.3.
// Prints "serving on PORT" (or "error: WHY", exit 1), then serves until its stdin closes.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "core/loaded_driver.h"
#include "site/http_server.h"
#include "site/site_gates.h"
#include "site/site_poller.h"

namespace {

using host::site::ClientAuth;
using host::site::TlsVersion;

const std::map<std::string, ClientAuth> kModes{
    {"none", ClientAuth::None},
    {"request", ClientAuth::Request},
    {"require-any", ClientAuth::RequireAny},
    {"verify-if-given", ClientAuth::VerifyIfGiven},
    {"require-and-verify", ClientAuth::RequireAndVerify},
};
const std::map<std::string, TlsVersion> kVersions{
    {"1.0", TlsVersion::Tls10},
    {"1.1", TlsVersion::Tls11},
    {"1.2", TlsVersion::Tls12},
    {"1.3", TlsVersion::Tls13},
};

}  // namespace

int main(int argc, char** argv) {
    host::site::TlsSettings tls;
    bool useTls = false;
    std::map<std::string, std::string> users;
    int delayMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--cert") {
            tls.certFile = value;
            useTls = true;
        } else if (option == "--key") {
            tls.keyFile = value;
        } else if (option == "--ca") {
            tls.clientCaFile = value;
        } else if (option == "--client-auth" && kModes.count(value) != 0) {
            tls.clientAuth = kModes.at(value);
        } else if (option == "--min" && kVersions.count(value) != 0) {
            tls.minVersion = kVersions.at(value);
        } else if (option == "--max" && kVersions.count(value) != 0) {
            tls.maxVersion = kVersions.at(value);
        } else if (option == "--user" && value.find(':') != std::string::npos) {
            users[value.substr(0, value.find(':'))] = value.substr(value.find(':') + 1);
        } else if (option == "--check-delay-ms") {
            delayMs = std::stoi(value);
        } else {
            std::printf("error: bad option %s %s\n", option.c_str(), value.c_str());
            return 1;
        }
    }
    host::site::HttpSecurity security;
    if (useTls) security.tls = tls;
    if (!users.empty()) {
        security.checkPassword = [users, delayMs](std::string_view user,
                                                  std::string_view password) {
            // A stand-in for a bcrypt round: as slow as asked.
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            const auto found = users.find(std::string(user));
            return found != users.end() && found->second == password;
        };
    }
    host::core::LoadedDriver driver;  // never loaded: a site without lines never calls it
    host::site::PreparedSite site;
    host::site::SitePoller poller(driver, site);
    host::site::HttpServer server(poller, security);
    std::string error;
    const int port = server.Bind(host::site::ListenAddress{"127.0.0.1", 0}, &error);
    if (port < 0 || !server.Start(&error)) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    std::printf("serving on %d\n", port);
    std::fflush(stdout);
    std::string rest;
    while (std::getline(std::cin, rest)) {
    }
    server.Stop();
    return 0;
}
