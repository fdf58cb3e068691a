// One client's connection as the room sees it: the seam between the room and
// a transport. TLS on the chat port is one implementation (server/TlsLink),
// the tests' fake connection another; a new transport needs no change here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Deadline.h"
#include "platform/Io.h"

namespace saferoom {

// What one Send did.
struct LinkSend {
  size_t taken = 0;      // bytes the link took: never offered again
  bool blocked = false;  // the transport is full: call again once WritableFd polls writable
  bool wrote = false;    // bytes went out to the transport, the link's own included
  bool ended = false;    // the link has failed or was shut down: nothing more goes out
  // When blocked: of the bytes after `taken`, how many the transport has
  // started on; the next send offers them first, unchanged.
  size_t held = 0;
};

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

  // For the connection's send queue, one caller at a time, never under the
  // room's userLock: hands over what the transport takes now of `len` bytes
  // of whole frames, without waiting. `len` may be 0, to push out what the
  // link holds of its own. After a blocked send the next offers the bytes
  // it held first.
  virtual LinkSend Send(const uint8_t* bytes, size_t len) = 0;
  // The descriptor that polls writable once a blocked Send may go on; -1
  // for a link without one.
  virtual int WritableFd() const = 0;
  // For any thread, never waiting: ends the connection in both directions
  // (after the transport's own goodbye, if it goes out at once); the reader
  // sees the end.
  virtual void Shutdown() = 0;
  // "ADDRESS, port PORT", for the console.
  virtual const std::string& Peer() const = 0;

  // Kept by the room for the server's connection caps, read by any thread:
  // the opening is done, and the connection holds a slot.
  std::atomic<bool> opened{false};
  std::atomic<bool> member{false};
  // Set under userLock when a new connection of its member reclaimed its
  // slot: what it sent and was not relayed yet goes nowhere.
  std::atomic<bool> replaced{false};
};

// Shared: the session owns it, and whoever writes to it or may close it
// (the room's writers, the server's caps) keeps it alive while it does.
using LinkPtr = std::shared_ptr<Link>;

}  // namespace saferoom
