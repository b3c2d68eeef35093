// What the address translation test and its peer program agree on: exit codes and the lines
// that the peer prints.
#ifndef QRN_TESTS_NAT_NAT_PEER_H
#define QRN_TESTS_NAT_NAT_PEER_H

namespace natpeer {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;
constexpr int kExitConnectFailed = 4;
constexpr int kExitWrongEcho = 5;
constexpr int kExitTimeout = 6;

constexpr const char *kSayReady = "READY";            // relay: listening
constexpr const char *kSayPeer = "PEER ";             // relay: "PEER <ip> <port>" per connection
constexpr const char *kSayRegistered = "REGISTERED";  // server: connected to the relay
constexpr const char *kSayConnected = "CONNECTED";    // client
constexpr const char *kSayConnectFailed = "CONNECT FAILED ";  // client, with the event's p1
constexpr const char *kSayEchoOk = "ECHO OK ";        // client, with the byte count

// Real milliseconds after which every role ends by itself.
constexpr int kLifetimeMs = 90000;

}  // namespace natpeer

#endif
