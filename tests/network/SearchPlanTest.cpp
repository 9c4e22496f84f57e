// Where a board search looks: the hosts of a range, and the broadcast
// addresses it picks from the machine's interfaces. The search itself runs in
// network namespaces (tests/e2e/NetworkSearchTest.cpp, tests/cli/CliSearchTest.cpp).
#include <gtest/gtest.h>

#include "network/SearchPlan.h"

namespace {

TEST(AddressRange, HoldsTheHostsOfANetworkOfAtMost1024Addresses)
{
    struct Case {
        std::string text, network;
        TIdIPv4Address first;
        std::uint32_t count;
    };
    std::string error;
    for (const Case& expected : {Case{"10.1.2.77/24", "10.1.2.0/24", {10, 1, 2, 1}, 254},
                                 Case{"10.1.4.0/22", "10.1.4.0/22", {10, 1, 4, 1}, 1022},
                                 Case{"10.1.2.7/31", "10.1.2.6/31", {10, 1, 2, 6}, 2},
                                 Case{"10.1.2.7", "10.1.2.7/32", {10, 1, 2, 7}, 1}}) {
        const std::optional<TAddressRange> range = ParseAddressRange(expected.text, error);
        ASSERT_TRUE(range.has_value()) << expected.text << ": " << error;
        EXPECT_EQ(range->text, expected.network);
        EXPECT_EQ(AddressOfNumber(range->first), expected.first) << expected.text;
        EXPECT_EQ(range->count, expected.count) << expected.text;
    }
    for (const char* text : {"", "10.1.2.0/", "10.1.2.0/33", "10.1.2/24", "10.1.2.0/24x", "10.1.2.0/-1", "eth0"}) {
        EXPECT_FALSE(ParseAddressRange(text, error).has_value()) << text;
        EXPECT_EQ(error, "\"" + std::string(text) + "\" is not an address range such as 192.168.1.0/24");
    }
    EXPECT_FALSE(ParseAddressRange("10.1.0.0/21", error).has_value());
    EXPECT_EQ(error, "10.1.0.0/21 holds 2048 addresses; a range may hold at most 1024");
}

TEST(SearchPlan, EveryNetworkLeavesOutTheDefaultRoutesInterfaceLoopbackAndThoseDown)
{
    const auto interface = [](const std::string& name, bool up, const std::vector<TIdIPv4Address>& broadcasts) {
        TNetworkInterface made{name, up, true, false, {}};
        for (const TIdIPv4Address& broadcast : broadcasts)
            made.addresses.push_back({{broadcast[0], broadcast[1], broadcast[2], 1}, broadcast});
        return made;
    };
    TLocalNetwork network{{{"lo", true, false, true, {{{127, 0, 0, 1}, std::nullopt}}},
                           interface("eth0", true, {{10, 1, 0, 255}}),
                           // two addresses of one network, and one of another
                           interface("eth1", true, {{10, 2, 0, 255}, {10, 2, 0, 255}, {10, 3, 0, 255}}),
                           interface("eth2", false, {{10, 4, 0, 255}})},
                          TIdIPv4Address{10, 1, 0, 1}};
    const TSearchPlan plan = PlanEveryNetwork(network);
    EXPECT_EQ(plan.broadcasts, (std::vector<TIdIPv4Address>{{255, 255, 255, 255}, {10, 2, 0, 255}, {10, 3, 0, 255}}));
    EXPECT_EQ(plan.places,
              (std::vector<std::string>{"eth0 (255.255.255.255)", "eth1 (10.2.0.255)", "eth1 (10.3.0.255)"}));

    network.defaultRouteSource.reset();
    EXPECT_EQ(PlanEveryNetwork(network).places,
              (std::vector<std::string>{"the default route (255.255.255.255)", "eth0 (10.1.0.255)",
                                        "eth1 (10.2.0.255)", "eth1 (10.3.0.255)"}));
}

} // namespace
