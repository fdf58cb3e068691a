// A browser on the web listener as the room sees it: the room's Link over
// TLS, HTTP for the app's files, then a WebSocket that carries exactly the
// byte stream of frames the chat port carries. Made by the accept loop for
// each socket accepted on the web port.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "room/Link.h"
#include "server/WebHttp.h"
#include "server/WsStream.h"
#include "tls/TlsConn.h"

class Console;

class WebLink : public Link {
 public:
  // `peer` is "ADDRESS, port PORT"; `console` must outlive the link.
  WebLink(TlsConnPtr conn, std::string peer, Console& console);

  // The TLS handshake, then HTTP requests (the app's files) until GET /ws
  // upgrades, all by `deadline`. False for a connection that only fetched
  // files, asked for something else or did not finish in time: it is closed.
  bool Open(Deadline deadline) override;
  ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) override;
  bool CertificateName(std::string& name) override { return PeerCommonName(*conn_, name); }
  LinkSend Send(const uint8_t* bytes, size_t len) override;
  int WritableFd() const override { return conn_->fd.Get(); }
  void Shutdown() override;
  const std::string& Peer() const override { return peer_; }

 private:
  // Writes what the WebSocket has to send and the socket takes now. The
  // caller holds wsLock.
  LinkSend PushLocked();

  TlsConnPtr conn_;
  std::string peer_;
  Console& console_;
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
