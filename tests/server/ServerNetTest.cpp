// The host text of an address, written for every datagram the service takes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "ZServerNet.h"

TEST(ZServerHostText, WritesDottedDecimalAndThePortAsTheSystemDoes) {
    const struct {
        const char* ip;
        int port;
        const char* text;
    } cases[] = {
        {"0.0.0.0", 0, "0.0.0.0:0"},
        {"255.255.255.255", 65535, "255.255.255.255:65535"},
        {"127.0.0.1", 5060, "127.0.0.1:5060"},
        {"10.0.100.9", 9, "10.0.100.9:9"},
        {"192.168.1.20", 40123, "192.168.1.20:40123"},
    };
    for (const auto& c : cases) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ASSERT_EQ(inet_pton(AF_INET, c.ip, &address.sin_addr), 1);
        address.sin_port = htons(static_cast<std::uint16_t>(c.port));
        EXPECT_EQ(ZServerHostText(address), c.text);
        // And it reads back as the same address.
        sockaddr_in back{};
        ASSERT_TRUE(ZServerParseHost(ZServerHostText(address), back)) << c.text;
        EXPECT_EQ(back.sin_addr.s_addr, address.sin_addr.s_addr);
        EXPECT_EQ(back.sin_port, address.sin_port);
    }
}
