// Both ends of a TLS 1.2 connection in one process, without sockets, for the
// fuzz targets that read through the real TLS path: one end writes the fuzz
// bytes as records of sizes the input picks, the other reads them with
// TlsRead, its transport handing bytes over in reads the input sizes too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tls/TlsConn.h"

namespace saferoom {

// Sizes (and would-block answers) from a seed: the same seed, the same cuts.
struct Splits {
  explicit Splits(uint32_t seed) : state(0x9e3779b97f4a7c15ull ^ seed) {}
  // 1 to `max` bytes, mostly a few, sometimes many.
  size_t Size(size_t max);
  bool WouldBlock() { return Next() % 4 == 0; }
  uint64_t Next();  // xorshift
  uint64_t state;
};

// What one end's transport does: it reads `in` and writes to its peer's.
// The ends' BIOs point here, so it must outlive both TlsConns.
struct Transport {
  std::string in;  // bytes on their way to this end
  size_t readAt = 0;
  Transport* peer = nullptr;
  Splits* splits = nullptr;  // null: a read takes what it asks for
  bool ended = false;        // once `in` is read, the peer's stream ends
  bool blocked = false;      // the last read said "would block"
};

struct TlsPair {
  Transport serverSide, clientSide;
  TlsConnPtr server;  // as the accept loop makes it; its handshake is done
  TlsConnPtr client;
};

// Makes both ends and completes the handshake (TLS 1.2, AES128-SHA, as the
// server offers), resuming the session of an earlier pair when there is one.
// False only if OpenSSL fails.
bool MakeTlsPair(TlsPair& pair);

// `writer` sends `size` bytes in records cut by `records`, then its close
// notification when `closeNotify`; from then on `reader` gets those bytes cut
// by `reads` (which must live as long as the reading), then the end of the
// stream.
void SendRecords(TlsConn& writer, Transport& reader, const uint8_t* data, size_t size,
                 Splits& records, Splits& reads, bool closeNotify);

// What `reader` can decrypt of what its peer has written so far, and whether
// that ended with a close notification.
std::string ReceiveAll(TlsConn& reader, bool& closed);

}  // namespace saferoom
