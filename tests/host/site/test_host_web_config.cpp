// serve's web configuration file and its passwords: broken files each refused with file, line,
// key and reason, a good one read with its files taken from the file's folder, the keys serve
// notes and ignores; bcrypt hashes made and checked, the memory of checked pairs, unknown users
// checked against a hash as known ones are, and checks from many threads at once.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "site/password_check.h"
#include "site/web_config.h"

namespace {

using host::site::ClientAuth;
using host::site::LoadWebConfig;
using host::site::PasswordCheck;
using host::site::TlsVersion;
using host::site::WebConfig;

// A folder with a CA, a server certificate and key signed by it, and a second key that is not
// the certificate's, made once with openssl for every test here.
class WebConfigFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/web-config-XXXXXX";
        folder_ = mkdtemp(pattern);
        const std::string make =
            "cd " + folder_ +
            " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
            "-subj /CN=test-ca -keyout ca.key -out ca.crt"
            " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "
            "/CN=localhost -keyout server.key -out server.csr"
            " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
            "-days 2 -out server.crt"
            " && openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:P-256 -out other.key"
            " && echo 'not a certificate' > junk.pem && mkdir -p sub"
            " && cp server.crt server.key sub/) >/dev/null 2>&1";
        made_ = std::system(("(" + make).c_str()) == 0;
    }
    static void TearDownTestSuite() { (void)std::system(("rm -rf " + folder_).c_str()); }
    void SetUp() override {
        if (!made_) GTEST_SKIP() << "openssl could not make the test's certificates";
    }

    // Writes `text` as the web configuration NAME in the folder; its path.
    static std::string Write(const std::string& name, const std::string& text) {
        const std::string path = folder_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    static std::string folder_;
    static bool made_;
};

std::string WebConfigFiles::folder_;
bool WebConfigFiles::made_ = false;

// A bcrypt hash of "secret" made through the system's crypt with the given prefix and cost 4.
std::string HashOf(const char* password, const char* prefix) {
    const std::string setting = std::string(prefix) + "04$abcdefghijklmnopqrstuu";
    crypt_data data{};
    return crypt_rn(password, setting.c_str(), &data, sizeof data);
}

const std::string kTls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";

struct BrokenCase {
    const char* what;
    std::string text;
    const char* where;   // "FILE:LINE" after the folder
    std::string reason;  // words the reason must hold
};

TEST_F(WebConfigFiles, BrokenFilesAreRefusedWithFileLineKeyAndReason) {
    const std::string good = HashOf("secret", "$2b$");
    const std::vector<BrokenCase> cases{
        {"not YAML", "tls_server_config: [cert_file\n", "web.yml:2", "not YAML"},
        {"a list at the top", "- a\n- b\n", "web.yml:1", "must be a mapping"},
        {"unknown top key", "tls_server_confg:\n  cert_file: a\n", "web.yml:1",
         "tls_server_confg: unknown key"},
        {"unknown TLS key", kTls + "  min_versoin: TLS12\n", "web.yml:4",
         "tls_server_config.min_versoin: unknown key"},
        {"key given twice", "basic_auth_users:\n  a: " + good + "\n  a: " + good + "\n",
         "web.yml:3", "basic_auth_users.a: given twice"},
        {"hash from another scheme (SHA-512 crypt)", "basic_auth_users:\n  alice: $6$salt$abc\n",
         "web.yml:2", "basic_auth_users.alice: not a bcrypt hash"},
        {"a password written in plain", "basic_auth_users:\n  alice: secret\n", "web.yml:2",
         "not a bcrypt hash"},
        {"bcrypt with an unknown prefix",
         "basic_auth_users:\n  alice: $2x$" + good.substr(4) + "\n", "web.yml:2",
         "not a bcrypt hash"},
        {"bcrypt cut short", "basic_auth_users:\n  alice: " + good.substr(0, 59) + "\n",
         "web.yml:2", "not a bcrypt hash"},
        {"user name with a colon", "basic_auth_users:\n  'a:b': " + good + "\n", "web.yml:2",
         "must not be empty nor hold \":\""},
        {"users as a list", "basic_auth_users:\n  - alice\n", "web.yml:2", "mapping of user names"},
        {"certificate missing",
         "tls_server_config:\n  cert_file: nothere.crt\n  key_file: "
         "server.key\n",
         "web.yml:2", "tls_server_config.cert_file: cannot read "},
        {"certificate not PEM",
         "tls_server_config:\n  cert_file: junk.pem\n  key_file: "
         "server.key\n",
         "web.yml:2", "junk.pem holds no PEM certificate"},
        {"key a directory", "tls_server_config:\n  cert_file: server.crt\n  key_file: sub\n",
         "web.yml:3", "key_file: cannot read " + folder_ + "/sub: a directory, not a file"},
        {"key of another certificate",
         "tls_server_config:\n  cert_file: server.crt\n  "
         "key_file: other.key\n",
         "web.yml:3", "other.key is not the key of"},
        {"no key_file", "tls_server_config:\n  cert_file: server.crt\n", "web.yml:2",
         "key_file is missing"},
        {"client CA missing",
         kTls + "  client_ca_file: nothere.crt\n  client_auth_type: "
                "RequireAndVerifyClientCert\n",
         "web.yml:4", "client_ca_file: cannot read"},
        {"verifying without a CA", kTls + "  client_auth_type: RequireAndVerifyClientCert\n",
         "web.yml:4", "needs client_ca_file"},
        {"verifying if given without a CA",
         kTls + "  client_auth_type: "
                "VerifyClientCertIfGiven\n",
         "web.yml:4", "needs client_ca_file"},
        {"a CA without a policy that asks for certificates", kTls + "  client_ca_file: ca.crt\n",
         "web.yml:4", "client_ca_file: given without a client_auth_type"},
        {"unknown client_auth_type", kTls + "  client_auth_type: Sometimes\n", "web.yml:4",
         "\"Sometimes\" is none of"},
        {"unknown version", kTls + "  min_version: TLS14\n", "web.yml:4",
         "min_version: \"TLS14\" is none of"},
        {"max below min", kTls + "  min_version: TLS13\n  max_version: TLS12\n", "web.yml:5",
         "lower than min_version"},
        {"inline certificate", "tls_server_config:\n  cert: |\n    -----BEGIN\n", "web.yml:2",
         "cert: not supported"},
        {"names of client certificates", kTls + "  client_allowed_sans: [a.example]\n", "web.yml:4",
         "client_allowed_sans: not supported"},
        {"a response header", "http_server_config:\n  headers:\n    X-Frame-Options: deny\n",
         "web.yml:3", "headers.X-Frame-Options: not supported"},
    };
    for (const BrokenCase& broken : cases) {
        const std::string path = Write("web.yml", broken.text);
        WebConfig config;
        std::string error;
        EXPECT_FALSE(LoadWebConfig(path, &config, &error)) << broken.what;
        const std::string where = folder_ + "/" + broken.where + ": ";
        EXPECT_EQ(error.rfind(where, 0), 0u) << broken.what << ": " << error;
        EXPECT_NE(error.find(broken.reason), std::string::npos) << broken.what << ": " << error;
        EXPECT_FALSE(config.tls.has_value()) << broken.what;
        EXPECT_TRUE(config.users.empty()) << broken.what;
    }
}

TEST_F(WebConfigFiles, AFileThatCannotBeReadIsSaidAsSuch) {
    WebConfig config;
    std::string error;
    EXPECT_FALSE(LoadWebConfig(folder_ + "/none.yml", &config, &error));
    EXPECT_EQ(error, folder_ + "/none.yml: No such file or directory");
    EXPECT_FALSE(LoadWebConfig(folder_, &config, &error));
    EXPECT_NE(error.find(folder_ + ": "), std::string::npos) << error;
}

TEST_F(WebConfigFiles, AGoodFileIsReadWithItsFilesFromItsOwnFolder) {
    const std::string alice = HashOf("secret", "$2y$");
    const std::string bob = HashOf("other", "$2a$");
    const std::string path = Write(
        "sub/web.yml", "tls_server_config:\n  cert_file: server.crt\n  key_file: " + folder_ +
                           "/server.key\n  client_ca_file: ../ca.crt\n"
                           "  client_auth_type: VerifyClientCertIfGiven\n  min_version: TLS13\n"
                           "  max_version: TLS13\nbasic_auth_users:\n  alice: " +
                           alice + "\n  bob: '" + bob + "'\n");
    WebConfig config;
    std::string error;
    ASSERT_TRUE(LoadWebConfig(path, &config, &error)) << error;
    ASSERT_TRUE(config.tls.has_value());
    EXPECT_EQ(config.tls->certFile, folder_ + "/sub/server.crt");
    EXPECT_EQ(config.tls->keyFile, folder_ + "/server.key");
    EXPECT_EQ(config.tls->clientCaFile, folder_ + "/sub/../ca.crt");
    EXPECT_EQ(config.tls->clientAuth, ClientAuth::VerifyIfGiven);
    EXPECT_EQ(config.tls->minVersion, TlsVersion::Tls13);
    EXPECT_EQ(config.tls->maxVersion, TlsVersion::Tls13);
    EXPECT_EQ(config.users.size(), 2u);
    EXPECT_EQ(config.users["alice"], alice);
    EXPECT_EQ(config.users["bob"], bob);
    EXPECT_TRUE(config.notes.empty());
}

TEST_F(WebConfigFiles, DefaultsAndTheKeysServeNotesAndIgnores) {
    WebConfig config;
    std::string error;
    ASSERT_TRUE(LoadWebConfig(Write("empty.yml", ""), &config, &error)) << error;
    EXPECT_FALSE(config.tls.has_value());
    EXPECT_TRUE(config.users.empty());

    ASSERT_TRUE(
        LoadWebConfig(Write("users.yml", "basic_auth_users:\n  a: " + HashOf("x", "$2b$") + "\n"),
                      &config, &error))
        << error;
    EXPECT_FALSE(config.tls.has_value()) << "users alone: plain HTTP with a login";
    EXPECT_EQ(config.users.size(), 1u);

    const std::string path =
        Write("tuned.yml", kTls +
                               "  cipher_suites: [TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256]\n"
                               "  curve_preferences: [CurveP256]\n"
                               "  prefer_server_cipher_suites: true\n"
                               "http_server_config:\n  http2: false\n  headers:\n"
                               "    X-Frame-Options: ''\n");
    ASSERT_TRUE(LoadWebConfig(path, &config, &error)) << error;
    ASSERT_TRUE(config.tls.has_value());
    EXPECT_EQ(config.tls->clientAuth, ClientAuth::None);
    EXPECT_EQ(config.tls->minVersion, TlsVersion::Tls12);
    EXPECT_FALSE(config.tls->maxVersion.has_value());
    ASSERT_EQ(config.notes.size(), 4u);
    EXPECT_EQ(config.notes[0].rfind(path + ":4: tls_server_config.cipher_suites ignored: ", 0), 0u)
        << config.notes[0];
    EXPECT_NE(config.notes[3].find(":8: http_server_config.http2 ignored"), std::string::npos)
        << config.notes[3];
}

TEST(BcryptHashes, TheShapeOfABcryptHash) {
    const std::string good = HashOf("secret", "$2b$");
    EXPECT_TRUE(host::site::IsBcryptHash(good));
    EXPECT_TRUE(host::site::IsBcryptHash(HashOf("secret", "$2y$")));
    EXPECT_TRUE(host::site::IsBcryptHash(HashOf("secret", "$2a$")));
    EXPECT_FALSE(host::site::IsBcryptHash(good.substr(0, 59)));
    EXPECT_FALSE(host::site::IsBcryptHash(good + "."));
    EXPECT_FALSE(host::site::IsBcryptHash("$2b$03" + good.substr(6))) << "cost below 4";
    EXPECT_FALSE(host::site::IsBcryptHash("$2b$32" + good.substr(6))) << "cost above 31";
    EXPECT_FALSE(host::site::IsBcryptHash("$2b$1x" + good.substr(6)));
    EXPECT_FALSE(host::site::IsBcryptHash(good.substr(0, 20) + "!" + good.substr(21)));
    EXPECT_FALSE(host::site::IsBcryptHash("$2b$10" + good.substr(7) + "$"));
}

TEST(BcryptHashes, HashPasswordMakesSaltedHashesOfTheCostAsked) {
    std::string hash;
    std::string other;
    std::string error;
    ASSERT_TRUE(host::site::HashPassword("pa55 word", 5, &hash, &error)) << error;
    EXPECT_EQ(hash.substr(0, 7), "$2b$05$");
    EXPECT_TRUE(host::site::IsBcryptHash(hash)) << hash;
    ASSERT_TRUE(host::site::HashPassword("pa55 word", 5, &other, &error)) << error;
    EXPECT_NE(hash, other) << "each hash has a salt of its own";
    crypt_data data{};
    EXPECT_EQ(std::string(crypt_rn("pa55 word", hash.c_str(), &data, sizeof data)), hash);
    EXPECT_NE(std::string(crypt_rn("pa55 wore", hash.c_str(), &data, sizeof data)), hash);

    for (const int cost : {host::site::kMinBcryptCost - 1, host::site::kMaxBcryptCost + 1}) {
        EXPECT_FALSE(host::site::HashPassword("x", cost, &hash, &error)) << cost;
        EXPECT_EQ(error, "the cost must be 4 to 16");
    }
}

TEST(PasswordQueue, RightWrongAndUnknownUsers) {
    PasswordCheck check({{"alice", HashOf("secret", "$2y$")}, {"bob", HashOf("hunter2", "$2b$")}});
    EXPECT_TRUE(check.Check("alice", "secret"));
    EXPECT_TRUE(check.Check("bob", "hunter2"));
    EXPECT_FALSE(check.Check("alice", "hunter2")) << "another user's password";
    EXPECT_FALSE(check.Check("alice", "secreT"));
    EXPECT_FALSE(check.Check("alice", "secret "));
    EXPECT_FALSE(check.Check("alice", ""));
    EXPECT_FALSE(check.Check("Alice", "secret")) << "user names are exact";
    EXPECT_FALSE(check.Check("", ""));
    EXPECT_FALSE(check.Check("carol", "secret"));
    EXPECT_FALSE(PasswordCheck({}).Check("alice", "secret")) << "no users: nobody is let in";
}

TEST(PasswordQueue, AnUnknownUserCostsABcryptRoundAsAWrongPasswordDoes) {
    PasswordCheck check({{"alice", HashOf("secret", "$2b$")}});
    EXPECT_FALSE(check.Check("mallory", "secret"));
    EXPECT_EQ(check.BcryptChecks(), 1);
    EXPECT_FALSE(check.Check("alice", "wrong"));
    EXPECT_EQ(check.BcryptChecks(), 2);
}

TEST(PasswordQueue, CheckedPairsAreAnsweredFromMemoryAndNeverConfused) {
    PasswordCheck check({{"alice", HashOf("secret", "$2b$")}, {"bob", HashOf("secret", "$2b$")}});
    EXPECT_TRUE(check.Check("alice", "secret"));
    EXPECT_EQ(check.BcryptChecks(), 1);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(check.Check("alice", "secret"));
    EXPECT_EQ(check.BcryptChecks(), 1) << "a scraper's repeated pair costs no bcrypt round";
    EXPECT_EQ(check.CachedAnswers(), 5);
    // Remembered pairs belong to their user and their password alone.
    EXPECT_FALSE(check.Check("alice", "secreT"));
    EXPECT_FALSE(check.Check("alic", "esecret"));
    EXPECT_TRUE(check.Check("bob", "secret"));
    EXPECT_EQ(check.BcryptChecks(), 4);
    // A wrong pair is remembered too, as wrong.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(check.Check("alice", "secreT"));
    EXPECT_EQ(check.BcryptChecks(), 4);
}

TEST(PasswordQueue, OnlyTheLatestWrongPairsAreRemembered) {
    PasswordCheck check({{"alice", HashOf("secret", "$2b$")}});
    for (std::size_t i = 0; i <= PasswordCheck::kWrongRemembered; ++i) {
        EXPECT_FALSE(check.Check("alice", "guess" + std::to_string(i)));
    }
    const long checks = check.BcryptChecks();
    EXPECT_EQ(checks, static_cast<long>(PasswordCheck::kWrongRemembered) + 1);
    EXPECT_FALSE(check.Check("alice", "guess" + std::to_string(PasswordCheck::kWrongRemembered)));
    EXPECT_EQ(check.BcryptChecks(), checks) << "the newest is remembered";
    EXPECT_FALSE(check.Check("alice", "guess0"));
    EXPECT_EQ(check.BcryptChecks(), checks + 1) << "the oldest was forgotten";
    EXPECT_TRUE(check.Check("alice", "secret"));
}

TEST(PasswordQueue, ManyThreadsAtOnce) {
    PasswordCheck check({{"alice", HashOf("secret", "$2b$")}, {"bob", HashOf("hunter2", "$2b$")}});
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&check, &wrongAnswers, t] {
            for (int i = 0; i < 20; ++i) {
                const bool alice = (t + i) % 2 == 0;
                const bool right = (t * 7 + i) % 3 != 0;
                const std::string password =
                    right ? (alice ? "secret" : "hunter2") : "guess" + std::to_string(i % 4);
                if (check.Check(alice ? "alice" : "bob", password) != right) ++wrongAnswers;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrongAnswers.load(), 0);
    EXPECT_LE(check.BcryptChecks(), 8 * 20);
    EXPECT_EQ(check.BcryptChecks() + check.CachedAnswers(), 8 * 20);
}

}  // namespace
