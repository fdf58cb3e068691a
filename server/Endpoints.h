// What the server serves: one entry per transport (the chat port, the web
// listener), each with its port, addresses and TLS context. The accept loop,
// the start-up notices, the TLS contexts and systemd's sockets all go by this
// table, so that a transport is one entry here and nothing else.
#pragma once

#include <string>
#include <vector>

#include "room/Link.h"
#include "server/TlsContext.h"
#include "tls/TlsConn.h"

namespace saferoom {

struct SafeTcpServer;
struct Endpoint;

// A kind of endpoint: how its connections are served.
struct Transport {
  const char* name;          // a socket from systemd named so serves it ("chat" is the rest)
  const char* listenOption;  // the option naming its addresses, for messages
  const char* portOption;    // the option naming its port ("" for the command line's)
  ContextKind context;       // the TLS it speaks
  // The room's link over an accepted connection's TLS.
  LinkPtr (*makeLink)(SafeTcpServer& server, TlsConnPtr conn, const std::string& peer);
  // The start-up notices for the port it was bound to.
  void (*announce)(SafeTcpServer& server, const Endpoint& endpoint, int boundPort, bool passed);
  // Enrolled devices can sign its members in (a private room's web page).
  bool usesDeviceState;
};

extern const Transport kChatTransport;
extern const Transport kWebTransport;

// One transport as this server serves it.
struct Endpoint {
  const Transport* transport = nullptr;
  int port = 0;                        // 0: the system chooses
  std::vector<std::string> addresses;  // none: 0.0.0.0; not used with sockets from systemd
  // Made by Run before it accepts, replaced on SIGHUP by the accept thread,
  // which is its only reader: each session's SSL object holds a reference
  // to the context it was made from.
  SslCtxPtr ctx;
};

// The endpoint of `server` that a socket from systemd named `name` serves:
// the transport of that name, else the chat port's; -1 when the name is a
// transport's that the server does not serve.
int EndpointForSocketName(const SafeTcpServer& server, const std::string& name);

}  // namespace saferoom
