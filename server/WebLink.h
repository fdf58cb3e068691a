// A browser on the web listener as the room sees it: the room's Link over
// TLS, HTTP for the app's files, then a WebSocket that carries exactly the
// byte stream of frames the chat port carries. Made by the accept loop for
// each socket accepted on the web port.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "room/Link.h"
#include "server/WebHttp.h"
#include "server/WsStream.h"
#include "tls/TlsConn.h"

namespace saferoom {

// A message may hold the largest frame the room takes, header and all.
constexpr size_t kMaxWebSocketMessage = kHeaderSize + kMaxPayload;
// A connection waits this long for its next request (and its first, after
// the handshake): a browser reuses one for the page's files within moments,
// and one it opened ahead of need, or keeps open idle, would otherwise hold
// a place under the per-address cap for the whole opening deadline.
constexpr int kRequestIdleMs = 2000;

class Console;
struct ConnectionGate;
struct StateDir;

class WebLink : public Link {
 public:
  // `peer` is "ADDRESS, port PORT"; `console` must outlive the link, and so
  // must `devices`: the membership state of a private room, whose
  // connections pass the device exchange first (null in an open room).
  // `gate`, when not null, is told what let the open link in.
  WebLink(TlsConnPtr conn, std::string peer, Console& console, StateDir* devices = nullptr,
          ConnectionGate* gate = nullptr);

  // The TLS handshake, then HTTP requests (the app's files) until GET /ws
  // upgrades, all by `deadline`; in a private room then the device exchange
  // (server/DeviceAuth.h). False for a connection that only fetched files,
  // asked for something else, was refused or did not finish in time: it is
  // closed.
  bool Open(Deadline deadline) override;
  ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) override;
  // The device's member name when a device key let it in, else the
  // certificate's CN.
  bool CertificateName(std::string& name) override;
  // For the reload: the enrolled device's key id (hex), empty when none let
  // the connection in.
  const std::string& DeviceId() const { return deviceId_; }
  LinkSend Send(const uint8_t* bytes, size_t len) override;
  int WritableFd() const override { return conn_->fd.Get(); }
  void Shutdown() override;
  const std::string& Peer() const override { return peer_; }

 private:
  // Writes what the WebSocket has to send and the socket takes now. The
  // caller holds wsLock.
  LinkSend PushLocked();
  // The device exchange, by `deadline`: true when the room may take the
  // connection (under deviceName_, or the certificate's name).
  bool PassDeviceExchange(Deadline deadline);
  // Reads exactly `len` bytes of the frame stream; writes all of `len`
  // bytes of frames, waiting for the socket (before the room has the link,
  // no send queue does that).
  bool ReadExactly(uint8_t* buf, size_t len, Deadline deadline);
  bool SendAll(const uint8_t* bytes, size_t len, Deadline deadline);

  TlsConnPtr conn_;
  std::string peer_;
  Console& console_;
  StateDir* devices_;
  ConnectionGate* gate_;
  std::string deviceName_;  // set by Open, read-only afterwards
  std::string deviceId_;    // set by Open, read-only afterwards
  // Lock order: the room's userLock, then wsLock, then the connection's
  // ioLock. Readers hold it only while handing bytes to the stream, never
  // while waiting for them.
  std::mutex wsLock;
  WsStream ws_;                 // guarded by wsLock
  size_t outAt_ = 0;            // guarded by wsLock: of ws_.Outgoing(), bytes the socket took
  bool ended_ = false;          // guarded by wsLock: nothing more to read or write
  std::string early_;           // the owner's: bytes read past the upgrade request
  std::vector<uint8_t> raw_;    // the owner's: bytes read from TLS
  bool readEnded_ = false;      // the owner's: the stream ended, hand out what is left
  std::vector<uint8_t> inbox_;  // the owner's: frame bytes not yet handed out
  size_t inboxAt_ = 0;
};

}  // namespace saferoom
