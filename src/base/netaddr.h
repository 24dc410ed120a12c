// An internet address of either family with its port: what the record,
// the platform seam and the checks on the data connection pass around.
// Reading and writing address text, and the trust rule for where a passive
// data connection may go, are written here once for both builds.
#ifndef QELTA_NETADDR_H
#define QELTA_NETADDR_H

#include <cstddef>

enum { NET_NONE = 0, NET_IPV4 = 4, NET_IPV6 = 6 };
// The longest text NetFormatAddress writes, with brackets, port and end.
enum { NET_ADDRESS_TEXT = 56 };

struct NetAddress {
    int Family;              // NET_IPV4, NET_IPV6, or NET_NONE
    unsigned short Port;     // host order
    unsigned char Bytes[16]; // network order; IPv4 uses the first 4
};

// 4, 16, or 0 for NET_NONE.
int NetAddressLength(const NetAddress *a);
// The same family and address bytes (ports are not compared).
int NetSameHost(const NetAddress *a, const NetAddress *b);
// Puts a at list[n] unless the list holds its host already (a resolver's
// list repeats addresses); the list's new length.
int NetAddUnique(NetAddress *list, int n, const NetAddress *a);
// An address of family with the given bytes and port.
void NetMakeAddress(NetAddress *a, int family, const unsigned char *bytes, unsigned short port);
// A literal address: dotted IPv4 (four decimal numbers 0 to 255) or IPv6
// in its text forms ("::" once, an IPv4 tail allowed; no zone). 1 with it
// in *out (port 0).
int NetParseAddress(const char *text, NetAddress *out);
// The address as text: "192.0.2.1", "2001:db8::1" (the shortest form);
// withPort adds ":21", bracketing an IPv6 address ("[::1]:21").
// 1 when it fitted.
int NetFormatAddress(const NetAddress *a, char *out, size_t size, int withPort);

// A CONN argument: "host", "host:port", "[v6-address]", "[v6-address]:port",
// or text with two or more colons and no brackets, an IPv6 address on the
// standard port. HOSTPORT_OK with the host (brackets removed) in host and
// the port text in *port (null when none is given); HOSTPORT_LONG when the
// host does not fit in size (a cut name would be another host);
// HOSTPORT_MALFORMED for a bracket left open or text after it.
enum { HOSTPORT_OK, HOSTPORT_LONG, HOSTPORT_MALFORMED };
int SplitHostPort(const char *arg, char *host, size_t size, const char **port);

// Where an address lies, for the passive-connection rule.
enum NetScope {
    NET_SCOPE_PUBLIC,
    NET_SCOPE_PRIVATE,    // 10/8, 172.16/12, 192.168/16, 100.64/10, fc00::/7
    NET_SCOPE_LOOPBACK,   // 127/8, ::1
    NET_SCOPE_LINKLOCAL,  // 169.254/16, fe80::/10
    NET_SCOPE_UNUSABLE,   // unspecified, multicast, broadcast, reserved
};
int NetScopeOf(const NetAddress *a);

// Whether a passive reply's address may be tried once the connection to
// the control peer has failed. 1 when it may; 0 with the reason in why
// (a phrase: "it is the control peer", "it is a private address and the
// control peer is not"). A server, or whatever can inject a reply, must
// not steer a run into a network the control peer is not in.
int PassiveReplyAddressAllowed(const NetAddress *reply, const NetAddress *peer, const char **why);

#endif
