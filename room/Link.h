// One client's connection as the room sees it: the seam between the room and
// a transport. TLS on the chat port is one implementation (server/TlsLink),
// the tests' fake connection another; a new transport needs no change here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Deadline.h"
#include "platform/Io.h"

// Each write to a member must be done within this: a member that reads too
// slowly loses its connection instead of holding up the room.
constexpr int kSendTimeoutMs = 5000;

class Link {
 public:
  virtual ~Link() = default;

  // For the session that owns the link: the transport's opening (the TLS
  // handshake) by `deadline`. False when the link cannot be used; where it
  // helps, the link has told the console why.
  virtual bool Open(Deadline deadline) = 0;
  // For the owning session: up to `len` bytes of the client's stream of frames.
  virtual ReadResult Read(uint8_t* buf, size_t len, Deadline deadline) = 0;
  // For the owning session: the subject CN of the certificate the client
  // presented (UTF-8); false without one.
  virtual bool CertificateName(std::string& name) = 0;

  // For any thread (the room holds its userLock): writes all `len` bytes,
  // whole frames, by `deadline`. False when it could not: the link is shut
  // down then, and its reader sees the end.
  virtual bool Write(const uint8_t* bytes, size_t len, Deadline deadline) = 0;
  // For any thread: ends the connection in both directions (after the
  // transport's own goodbye, if it has one); the reader sees the end.
  virtual void Shutdown() = 0;
  // "ADDRESS, port PORT", for the console.
  virtual const std::string& Peer() const = 0;
};

using LinkPtr = std::unique_ptr<Link>;
