// The transports the server serves: the chat port and the web listener.
#include "server/Endpoints.h"

#include <algorithm>
#include <cstring>

#include "server/SafeTcpServer.h"
#include "server/TlsLink.h"
#include "server/WebLink.h"

namespace saferoom {

namespace {

bool IsLoopback(const IpAddress& ip) {
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return ip.v6 ? std::memcmp(ip.bytes, kLoopback6, sizeof kLoopback6) == 0 : ip.bytes[0] == 127;
}

// Whether `endpoint` takes connections to `ip`: one of its addresses (none:
// 0.0.0.0) is `ip` or stands for all of its family, or it is :: and no IPv4
// address is given, so that it takes IPv4 too. Sockets from systemd
// (`passed`) may be on any address.
bool ListensOn(const Endpoint& endpoint, const IpAddress& ip, bool passed) {
  if (passed) return true;
  std::vector<std::string> addresses = endpoint.addresses;
  if (addresses.empty()) addresses.push_back("0.0.0.0");
  bool allV6 = false;
  bool someV4 = false;
  for (const std::string& text : addresses) {
    IpAddress listen;
    if (!ParseIpAddress(text, listen)) continue;
    if (listen.v6 == ip.v6 &&
        (IsAnyAddress(listen) || std::memcmp(listen.bytes, ip.bytes, sizeof ip.bytes) == 0)) {
      return true;
    }
    allV6 = allV6 || (listen.v6 && IsAnyAddress(listen));
    someV4 = someV4 || !listen.v6;
  }
  return !ip.v6 && allV6 && !someV4;
}

// The hosts of the web page's URLs, so that a friend finds one to use: the
// certificate's host names, then those of its addresses that the listener
// serves (loopback ones only without localhost, which says the same), in
// the certificate's order; localhost when it names none of these.
std::vector<std::string> PageHosts(const Endpoint& endpoint, bool passed) {
  const ServedNames names = CertificateNames(endpoint.ctx.get());
  std::vector<std::string> hosts;
  auto add = [&hosts](const std::string& host) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  };
  for (const std::string& host : names.hosts)
    add(host);
  const bool localhost = std::find(hosts.begin(), hosts.end(), "localhost") != hosts.end();
  for (const IpAddress& ip : names.addresses) {
    if ((localhost && IsLoopback(ip)) || !ListensOn(endpoint, ip, passed)) continue;
    add(ip.v6 ? "[" + IpAddressText(ip) + "]" : IpAddressText(ip));
  }
  if (hosts.empty()) hosts.push_back("localhost");
  return hosts;
}

LinkPtr ChatLink(SafeTcpServer& server, TlsConnPtr conn, const std::string& peer) {
  return std::make_shared<TlsLink>(std::move(conn), peer, server.room.console, &server.gate);
}

LinkPtr WebPageLink(SafeTcpServer& server, TlsConnPtr conn, const std::string& peer) {
  StateDir* devices = server.requireClientCert ? &server.state : nullptr;
  return std::make_shared<WebLink>(std::move(conn), peer, server.room.console, devices,
                                   &server.gate);
}

void AnnounceChat(SafeTcpServer& server, const Endpoint&, int boundPort, bool) {
  server.room.console.Out("[+] Server is working at " + std::to_string(boundPort) + "\n");
}

// One line for each of the page's addresses, the first name first.
void AnnounceWeb(SafeTcpServer& server, const Endpoint& endpoint, int boundPort, bool passed) {
  for (const std::string& host : PageHosts(endpoint, passed))
    server.room.console.Out("[+] Web page at https://" + host + ":" + std::to_string(boundPort) +
                            "/\n");
}

}  // namespace

const Transport kChatTransport = {"chat",   "--listen",   "",   ContextKind::kChat,
                                  ChatLink, AnnounceChat, false};
const Transport kWebTransport = {"web",       "--web-listen", "--web", ContextKind::kWeb,
                                 WebPageLink, AnnounceWeb,    true};

int EndpointForSocketName(const SafeTcpServer& server, const std::string& name) {
  int chat = -1;
  for (size_t i = 0; i < server.endpoints.size(); ++i) {
    const Transport& t = *server.endpoints[i].transport;
    if (name == t.name) return static_cast<int>(i);
    if (&t == &kChatTransport) chat = static_cast<int>(i);
  }
  for (const Transport* t : {&kChatTransport, &kWebTransport}) {
    if (name == t->name && t != &kChatTransport) return -1;  // one this server lacks
  }
  return chat;
}

}  // namespace saferoom
