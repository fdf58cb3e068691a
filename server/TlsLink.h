// A client on the chat port as the room sees it: the room's Link over one TLS
// connection. Made by the accept loop for each accepted socket.
#pragma once

#include <string>

#include "room/Link.h"
#include "tls/TlsConn.h"

namespace saferoom {

class Console;
struct ConnectionGate;

// The server's handshake on `conn` by `deadline`. A failure that the TLS
// library can explain gets "TLS handshake failed: PEER" and the TLS error
// dump on the console's standard error, together. Both links open with it.
bool AcceptOrTell(TlsConn& conn, Deadline deadline, const std::string& peer, Console& console);

class TlsLink : public Link {
 public:
  // `peer` is "ADDRESS, port PORT"; `console` must outlive the link, and so
  // must `gate`, whose registry is told what let the link in (none when null).
  TlsLink(TlsConnPtr conn, std::string peer, Console& console, ConnectionGate* gate = nullptr)
      : conn_(std::move(conn)), peer_(std::move(peer)), console_(console), gate_(gate) {}

  // The server's handshake (AcceptOrTell).
  bool Open(Deadline deadline) override;
  ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) override {
    return TlsRead(*conn_, buf, len, deadline);
  }
  bool CertificateName(std::string& name) override { return PeerCommonName(*conn_, name); }
  LinkSend Send(const uint8_t* bytes, size_t len) override {
    const SendResult sent = TlsSend(*conn_, bytes, len);
    return LinkSend{sent.taken, sent.blocked, sent.wrote, sent.ended, 0};
  }
  int WritableFd() const override { return conn_->fd.Get(); }
  void Shutdown() override { TlsClose(*conn_); }
  const std::string& Peer() const override { return peer_; }

 private:
  TlsConnPtr conn_;
  std::string peer_;
  Console& console_;
  ConnectionGate* gate_;
};

// Tells the gate what let an open link in: the certificate its client
// presented, and the device (see NoteAdmission); true without a gate.
bool NoteOpenLink(ConnectionGate* gate, const Link* link, TlsConn& conn,
                  const std::string& deviceId = "", const std::string& deviceName = "");

}  // namespace saferoom
