// The HTTP side: its socket, one serve per address; the bounds on its connections; the password
// checkers; the TLS versions. A second server on an address in use is
// refused with the reason, never let in beside the first; a stopped one frees it at once.
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/loaded_driver.h"
#include "site/http_connections.h"
#include "site/http_server.h"
#include "site/http_tls.h"
#include "site/password_queue.h"
#include "site/site_gates.h"
#include "site/site_poller.h"

namespace {

using host::site::HttpServer;
using host::site::ListenAddress;

struct EmptySite {
    host::core::LoadedDriver driver;  // never loaded: a site without lines never calls it
    host::site::PreparedSite site;
    host::site::SitePoller poller{driver, site};
};

TEST(HttpBind, ASecondServerOnAnAddressInUseIsRefusedWithTheReason) {
    EmptySite empty;
    HttpServer first(empty.poller);
    std::string error;
    const int port = first.Bind(ListenAddress{"127.0.0.1", 0}, &error);
    ASSERT_GT(port, 0) << error;
    ASSERT_TRUE(first.Start(&error)) << error;

    HttpServer second(empty.poller);
    EXPECT_EQ(second.Bind(ListenAddress{"127.0.0.1", port}, &error), -1)
        << "two servers on one port: a scrape would reach either at random";
    EXPECT_NE(error.find("address already in use"), std::string::npos) << error;

    // Once the first has stopped, the address is free again at once, as for a restarted serve.
    first.Stop();
    HttpServer third(empty.poller);
    error.clear();
    EXPECT_EQ(third.Bind(ListenAddress{"127.0.0.1", port}, &error), port) << error;
}

TEST(HttpBind, AnAddressOfAnotherMachineIsSaidAsSuch) {
    EmptySite empty;
    HttpServer server(empty.poller);
    std::string error;
    // TEST-NET-1: an address no machine here has.
    EXPECT_EQ(server.Bind(ListenAddress{"192.0.2.1", 0}, &error), -1);
    EXPECT_NE(error.find("not an address of this machine"), std::string::npos) << error;
}

// What a plain HTTP/1.0 GET of `path` from `host`:`port` gets back, whole.
std::string Fetch(const std::string& host, int port, const std::string& path) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return "";
    std::string answer;
    for (const addrinfo* each = found; each != nullptr && answer.empty(); each = each->ai_next) {
        const int fd = socket(each->ai_family, each->ai_socktype, each->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, each->ai_addr, each->ai_addrlen) == 0) {
            const std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
            if (send(fd, request.data(), request.size(), 0) ==
                static_cast<ssize_t>(request.size())) {
                char chunk[4096];
                for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
                    answer.append(chunk, static_cast<std::size_t>(got));
                }
            }
        }
        close(fd);
    }
    freeaddrinfo(found);
    return answer;
}

TEST(HttpBind, ServesOnIpv6AndOnAHostNameWithAnyFreePort) {
    for (const char* host : {"::1", "localhost"}) {
        EmptySite empty;
        HttpServer server(empty.poller);
        std::string error;
        const int port = server.Bind(ListenAddress{host, 0}, &error);
        ASSERT_GT(port, 0) << host << ": " << error;
        ASSERT_TRUE(server.Start(&error)) << error;
        const std::string answer = Fetch(host, port, "/healthz");
        EXPECT_EQ(answer.find(" 200 OK\r\n"), 8u) << host << ": " << answer;
        EXPECT_EQ(answer.substr(answer.size() - 3), "ok\n") << host;
        server.Stop();
    }
}

// The bounds on connections, on a clock the test holds: which connection is closed at a limit,
// when a new one is refused instead, and when a connection without a whole request is cut off.
namespace bounds {

using host::site::ConnectionLimits;
using host::site::ConnectionTable;
using Clock = ConnectionTable::Clock;
using std::chrono::milliseconds;

struct Table {
    explicit Table(ConnectionLimits limits)
        : table(limits, [this](int fd) { closed.push_back(fd); }) {}
    // Lets a connection in and sets it up as the server does: its key is its fd.
    bool Open(int fd, const std::string& address, Clock::time_point at) {
        if (!table.Admit(address)) return false;
        table.Opened(Key(fd), fd, address, at);
        return true;
    }
    static const void* Key(int fd) {
        return reinterpret_cast<const void*>(static_cast<intptr_t>(fd));
    }
    std::vector<int> closed;
    ConnectionTable table;
};

const Clock::time_point t0{};

TEST(HttpConnections, AtAnAddressLimitTheLongestWaitingOfThatAddressIsClosed) {
    Table t(ConnectionLimits{2, 10, milliseconds(10000)});
    ASSERT_TRUE(t.Open(10, "127.0.0.2", t0));
    ASSERT_TRUE(t.Open(11, "127.0.0.2", t0 + milliseconds(1)));
    ASSERT_TRUE(t.Open(20, "127.0.0.3", t0 - milliseconds(5)));  // waits longer, other address
    // 10 answered a request since: 11 has now waited longest for its next one.
    t.table.RequestBegan(Table::Key(10), t0);
    t.table.RequestEnded(Table::Key(10), t0 + milliseconds(2));
    EXPECT_TRUE(t.Open(12, "127.0.0.2", t0 + milliseconds(3)));
    EXPECT_EQ(t.closed, std::vector<int>{11});
    // Being closed, 11 no longer counts: the next one of the address closes 10, never 11 again.
    EXPECT_TRUE(t.Open(13, "127.0.0.2", t0 + milliseconds(4)));
    EXPECT_EQ(t.closed, (std::vector<int>{11, 10}));
    const auto counts = t.table.Counts();
    EXPECT_EQ(counts.closedAddressLimit, 2u);
    EXPECT_EQ(counts.refusedAddressLimit, 0u);
    EXPECT_EQ(counts.accepted, 5u);
    EXPECT_EQ(counts.open, 5u) << "closed ones count as open until the server has closed them";
    t.table.Closed(Table::Key(11));
    t.table.Closed(Table::Key(10));
    EXPECT_EQ(t.table.Counts().open, 3u);
}

TEST(HttpConnections, ANewConnectionIsRefusedOnlyWhenEveryOneIsBusyWithARequest) {
    Table t(ConnectionLimits{2, 3, milliseconds(10000)});
    ASSERT_TRUE(t.Open(10, "10.0.0.1", t0));
    ASSERT_TRUE(t.Open(11, "10.0.0.1", t0));
    t.table.RequestBegan(Table::Key(10), t0);
    t.table.RequestBegan(Table::Key(11), t0);
    EXPECT_FALSE(t.Open(12, "10.0.0.1", t0)) << "a request under way is never cut off";
    EXPECT_TRUE(t.closed.empty());
    // At the total limit, the longest-waiting of any address goes first: 20, not 21.
    ASSERT_TRUE(t.Open(20, "10.0.0.2", t0 + milliseconds(1)));
    EXPECT_TRUE(t.Open(21, "10.0.0.3", t0 + milliseconds(2)));
    EXPECT_EQ(t.closed, std::vector<int>{20});
    t.table.RequestBegan(Table::Key(21), t0);
    EXPECT_FALSE(t.Open(22, "10.0.0.4", t0 + milliseconds(3)));
    const auto counts = t.table.Counts();
    EXPECT_EQ(counts.refusedAddressLimit, 1u);
    EXPECT_EQ(counts.closedTotalLimit, 1u);
    EXPECT_EQ(counts.refusedTotalLimit, 1u);
}

TEST(HttpConnections, OneLetInButNotYetSetUpHoldsItsPlace) {
    Table t(ConnectionLimits{1, 10, milliseconds(10000)});
    ASSERT_TRUE(t.table.Admit("10.0.0.1"));
    EXPECT_FALSE(t.table.Admit("10.0.0.1")) << "nothing of the address is open to close yet";
    t.table.Opened(Table::Key(10), 10, "10.0.0.1", t0);
    EXPECT_TRUE(t.table.Admit("10.0.0.1"));
    EXPECT_EQ(t.closed, std::vector<int>{10});
}

TEST(HttpConnections, AConnectionWithoutAWholeRequestOrWithItsAnswerUntakenInTimeIsClosed) {
    Table t(ConnectionLimits{8, 8, milliseconds(10000), milliseconds(60000)});
    ASSERT_TRUE(t.Open(10, "10.0.0.1", t0));                     // idle, or sending slowly
    ASSERT_TRUE(t.Open(11, "10.0.0.1", t0));                     // busy with a long request
    ASSERT_TRUE(t.Open(12, "10.0.0.1", t0 + milliseconds(50)));  // answered, waiting again
    t.table.RequestBegan(Table::Key(11), t0);
    t.table.RequestBegan(Table::Key(12), t0 + milliseconds(4000));
    t.table.RequestEnded(Table::Key(12), t0 + milliseconds(5000));
    t.table.Sweep(t0 + milliseconds(9999));
    EXPECT_TRUE(t.closed.empty());
    t.table.Sweep(t0 + milliseconds(10000));
    EXPECT_EQ(t.closed, std::vector<int>{10});
    t.table.Sweep(t0 + milliseconds(14999));
    EXPECT_EQ(t.closed, std::vector<int>{10})
        << "closed once; the deadline restarts with an answer";
    t.table.Sweep(t0 + milliseconds(59999));
    EXPECT_EQ(t.closed, (std::vector<int>{10, 12}))
        << "a request under way is not cut off by the request deadline";
    EXPECT_EQ(t.table.Counts().closedRequestTimeout, 2u);
    // ... but by its own: a client that does not take its answer within a minute.
    t.table.Sweep(t0 + milliseconds(60000));
    EXPECT_EQ(t.closed, (std::vector<int>{10, 12, 11}));
    EXPECT_EQ(t.table.Counts().closedAnswerTimeout, 1u);
}

TEST(HttpConnections, TheCountsAreWrittenAsPrometheusFamilies) {
    host::site::ConnectionCounts counts;
    counts.open = 3;
    counts.refusedTotalLimit = 4;
    counts.closedRequestTimeout = 5;
    const std::string text = host::site::ConnectionMetricsText(counts);
    for (const char* sample :
         {"vpi_http_connections_open 3\n",
          "vpi_http_connections_refused_total{reason=\"total_limit\"} 4\n",
          "vpi_http_connections_refused_total{reason=\"address_limit\"} 0\n",
          "vpi_http_connections_closed_total{reason=\"request_timeout\"} 5\n"}) {
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
    }
}

}  // namespace bounds

// The password checkers: off the caller's thread, a bounded queue, and nothing left parked at
// the end.
TEST(HttpPasswords, ChecksRunOnTheirOwnThreadsBehindABoundedQueue) {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    int made = 0;
    host::site::PasswordQueue checks(
        [&](std::string_view user, std::string_view password) {
            std::unique_lock lock(mutex);
            ++made;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            return user == "alice" && password == "s3cret";
        },
        1, 2);
    std::vector<int> answers;  // 1 allowed, 0 refused, in the order given
    auto done = [&](bool allowed) {
        const std::lock_guard lock(mutex);
        answers.push_back(allowed ? 1 : 0);
        changed.notify_all();
    };
    ASSERT_TRUE(checks.Submit("alice", "s3cret", done));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return made == 1; });  // under way, off this thread
    }
    EXPECT_TRUE(checks.Submit("alice", "wrong", done));
    EXPECT_TRUE(checks.Submit("bob", "s3cret", done));
    EXPECT_FALSE(checks.Submit("alice", "s3cret", done)) << "two waiting: the queue is full";
    {
        std::unique_lock lock(mutex);
        release = true;
        changed.notify_all();
        changed.wait(lock, [&] { return answers.size() == 3; });
    }
    EXPECT_EQ(answers, (std::vector<int>{1, 0, 0}));
}

TEST(HttpPasswords, StoppingAnswersTheWaitingOnesRefusedWithoutCheckingThem) {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    int made = 0;
    host::site::PasswordQueue checks(
        [&](std::string_view, std::string_view) {
            std::unique_lock lock(mutex);
            ++made;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            return true;
        },
        1, 1'000'000);  // never full: a refused Submit means stopped
    std::atomic<int> allowed{0}, refused{0};
    auto done = [&](bool ok) { ++(ok ? allowed : refused); };
    ASSERT_TRUE(checks.Submit("a", "b", done));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return made == 1; });
    }
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(checks.Submit("a", "b", done));
    std::thread stopper([&] { checks.Stop(); });
    // Submit is refused from the moment Stop has taken the queue; those let in before are
    // refused with the rest.
    int more = 0;
    while (checks.Submit("a", "b", done)) ++more;
    {
        const std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    }
    stopper.join();
    EXPECT_EQ(made, 1);
    EXPECT_EQ(allowed, 1) << "the check under way ends as made";
    EXPECT_EQ(refused, 3 + more) << "every waiting one answered, none left parked";
}

TEST(HttpTls, TheVersionsAllowedBecomeAPriorityString) {
    using host::site::TlsPriorities;
    using host::site::TlsVersion;
    EXPECT_EQ(TlsPriorities(TlsVersion::Tls12, std::nullopt),
              "NORMAL:-VERS-ALL:+VERS-TLS1.2:+VERS-TLS1.3");
    EXPECT_EQ(TlsPriorities(TlsVersion::Tls10, TlsVersion::Tls11),
              "NORMAL:-VERS-ALL:+VERS-TLS1.0:+VERS-TLS1.1");
    EXPECT_EQ(TlsPriorities(TlsVersion::Tls13, TlsVersion::Tls13), "NORMAL:-VERS-ALL:+VERS-TLS1.3");
}

}  // namespace
