// The HTTP side's socket: one serve per address. A second server on an address in use is
// refused with the reason, never let in beside the first; a stopped one frees it at once.
#include <gtest/gtest.h>

#include <string>

#include "core/loaded_driver.h"
#include "site/http_server.h"
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

}  // namespace
