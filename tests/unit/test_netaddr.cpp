// Address text, CONN's host and port, and where a passive reply's address
// may send the data connection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/netaddr.h"

namespace {

struct TextCase {
    const char *text;
    int family;          // NET_NONE: not an address
    const char *written;  // NetFormatAddress of it
};

TEST(NetAddr, AddressTextReadAndWrittenInItsShortestForm) {
    const TextCase cases[] = {
        {"127.0.0.1", NET_IPV4, "127.0.0.1"},
        {"255.255.255.255", NET_IPV4, "255.255.255.255"},
        {"::1", NET_IPV6, "::1"},
        {"::", NET_IPV6, "::"},
        {"2001:DB8:0:0:0:0:0:1", NET_IPV6, "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", NET_IPV6, "2001:db8::1:0:0:1"},  // the first longest run
        {"fe80::1:2", NET_IPV6, "fe80::1:2"},
        {"1:2:3:4:5:6:7:8", NET_IPV6, "1:2:3:4:5:6:7:8"},
        {"::ffff:192.0.2.1", NET_IPV6, "::ffff:c000:201"},
        {"1:0:3:4:5:6:7:8", NET_IPV6, "1:0:3:4:5:6:7:8"},  // one zero group stays
        // Not addresses: names, cut or overlong forms, a zone.
        {"ftp.example.com", NET_NONE, ""},
        {"1.2.3.256", NET_NONE, ""},
        {"1.2.3", NET_NONE, ""},
        {"127.1", NET_NONE, ""},
        {"01234.1.1.1", NET_NONE, ""},
        {"1:2:3:4:5:6:7:8:9", NET_NONE, ""},
        {"1::2::3", NET_NONE, ""},
        {":::1", NET_NONE, ""},
        {"1:", NET_NONE, ""},
        {"12345::1", NET_NONE, ""},
        {"fe80::1%eth0", NET_NONE, ""},
        {"::1.2.3", NET_NONE, ""},
        {"1:2:3:4:5:6:7::8", NET_NONE, ""},
    };
    for (const TextCase &c : cases) {
        NetAddress a;
        int ok = NetParseAddress(c.text, &a);
        EXPECT_EQ(ok ? a.Family : NET_NONE, c.family) << c.text;
        if (!ok) continue;
        char out[NET_ADDRESS_TEXT];
        NetFormatAddress(&a, out, sizeof out, 0);
        EXPECT_STREQ(out, c.written) << c.text;
        a.Port = 2121;
        NetFormatAddress(&a, out, sizeof out, 1);
        std::string port = c.family == NET_IPV6 ? "[" + std::string(c.written) + "]:2121"
                                                : std::string(c.written) + ":2121";
        EXPECT_EQ(std::string(out), port) << c.text;
    }
}

struct HostPortCase {
    const char *arg;
    int result;
    const char *host, *port;  // port null: none given
};

TEST(NetAddr, ConnArgumentsInEveryForm) {
    const HostPortCase cases[] = {
        {"ftp.example.com", HOSTPORT_OK, "ftp.example.com", nullptr},
        {"ftp.example.com:2121", HOSTPORT_OK, "ftp.example.com", "2121"},
        {"127.0.0.1:21", HOSTPORT_OK, "127.0.0.1", "21"},
        {"[::1]", HOSTPORT_OK, "::1", nullptr},
        {"[::1]:2626", HOSTPORT_OK, "::1", "2626"},
        {"::1", HOSTPORT_OK, "::1", nullptr},  // two colons: an address, port 21
        {"2001:db8::21", HOSTPORT_OK, "2001:db8::21", nullptr},
        {"host:", HOSTPORT_OK, "host", ""},
        {"[::1", HOSTPORT_MALFORMED, "", nullptr},
        {"[::1]2626", HOSTPORT_MALFORMED, "", nullptr},
        {"[::1]x:21", HOSTPORT_MALFORMED, "", nullptr},
    };
    for (const HostPortCase &c : cases) {
        char host[128] = "";
        const char *port = "unset";
        int r = SplitHostPort(c.arg, host, sizeof host, &port);
        EXPECT_EQ(r, c.result) << c.arg;
        if (r != HOSTPORT_OK) continue;
        EXPECT_STREQ(host, c.host) << c.arg;
        if (c.port == nullptr)
            EXPECT_EQ(port, nullptr) << c.arg;
        else
            EXPECT_STREQ(port, c.port) << c.arg;
    }
    std::string longName(128, 'a');
    char host[128];
    const char *port;
    EXPECT_EQ(SplitHostPort((longName + ":21").c_str(), host, sizeof host, &port), HOSTPORT_LONG);
    EXPECT_EQ(SplitHostPort(longName.substr(1).c_str(), host, sizeof host, &port), HOSTPORT_OK);
}

struct PolicyCase {
    const char *reply, *peer;
    int allowed;
};

// The documentation and other public ranges are never connected to here:
// the rule is a pure function of the two addresses.
TEST(NetAddr, PassiveReplyAddressOnlyWhereTheControlPeerCouldLeadItself) {
    const PolicyCase cases[] = {
        {"203.0.113.7", "198.51.100.2", 1},    // public, for a public peer
        {"203.0.113.7", "127.0.0.1", 1},       // public, whatever the peer
        {"198.51.100.2", "198.51.100.2", 0},   // the control peer itself
        {"10.1.2.3", "198.51.100.2", 0},       // private, public peer
        {"172.16.0.9", "198.51.100.2", 0},
        {"172.31.255.1", "198.51.100.2", 0},
        {"172.32.0.1", "198.51.100.2", 1},     // just outside 172.16/12
        {"192.168.1.20", "198.51.100.2", 0},
        {"100.64.0.1", "198.51.100.2", 0},     // carrier-grade NAT
        {"127.0.0.2", "198.51.100.2", 0},      // loopback, public peer
        {"169.254.1.1", "198.51.100.2", 0},    // link-local
        {"0.0.0.0", "198.51.100.2", 0},
        {"224.0.0.1", "198.51.100.2", 0},      // multicast
        {"255.255.255.255", "198.51.100.2", 0},
        {"192.168.1.20", "10.0.0.5", 1},       // a private peer leads into private networks
        {"127.0.0.2", "127.0.0.1", 1},         // a loopback peer to loopback
        {"10.0.0.5", "127.0.0.1", 0},          // but not into a private network
        {"169.254.9.9", "10.0.0.5", 0},
        {"2001:db8::2", "2001:db8::1", 1},
        {"fd00::5", "2001:db8::1", 0},         // unique local
        {"fe80::5", "2001:db8::1", 0},
        {"::1", "2001:db8::1", 0},
        {"::ffff:10.0.0.1", "2001:db8::1", 0},  // a private IPv4 address written as IPv6
        {"ff02::1", "2001:db8::1", 0},
    };
    for (const PolicyCase &c : cases) {
        NetAddress reply, peer;
        ASSERT_TRUE(NetParseAddress(c.reply, &reply)) << c.reply;
        ASSERT_TRUE(NetParseAddress(c.peer, &peer)) << c.peer;
        const char *why = nullptr;
        EXPECT_EQ(PassiveReplyAddressAllowed(&reply, &peer, &why), c.allowed)
            << c.reply << " from " << c.peer;
        if (!c.allowed) EXPECT_TRUE(why != nullptr && why[0] != 0) << c.reply;
    }
}

}  // namespace
