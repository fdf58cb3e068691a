// lean-relay: the leanest relay of the chat frames we know how to run, the
// ceiling that scripts/bench-compare.sh measures the server against on the
// same machine. One thread and one epoll loop; TLS 1.2 with AES128-SHA; a
// chat message goes on as its sender wrote it, IV and ciphertext untouched
// (no SM4 work), with the sender's name and the scope put in its header;
// Login is answered with LoginAccepted (or NameInUse); no member lists. What
// one loop iteration has for a member goes out in one run of SSL_write, so
// in as few TLS records as it fits. A measuring stick for loopback benches:
// it has no timeouts, and listens on 127.0.0.1 only.
//   lean-relay PORT CERT KEY      (PORT 0: the system picks; SIGINT/SIGTERM stop it)
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "protect/Frame.h"
#include "protect/FrameReader.h"
#include "tls/TlsConn.h"

namespace saferoom {

namespace {

constexpr int kBacklog = 128;
constexpr int kMaxEvents = 64;
// A member that takes nothing while this much waits for it is dropped:
// the relay must not grow without bound behind one stalled reader.
constexpr size_t kMaxPending = size_t{16} << 20;

struct Peer {
  UniqueFd fd;  // declared first so it closes last, after SSL_free
  SslPtr ssl;
  bool handshaken = false;
  bool member = false;
  bool closing = false;          // closed at the end of this iteration
  bool flushing = false;         // in Relay::toFlush
  bool watchOut = false;         // epoll waits for EPOLLOUT
  uint8_t name[kNameSize] = {};  // zero after the first NUL
  FrameReader reader;
  std::vector<uint8_t> out;  // frames not yet taken by SSL_write
  size_t outSent = 0;        // the prefix of `out` already written
};

struct Relay {
  UniqueFd epoll;
  UniqueFd listener;
  SslCtxPtr ctx;
  std::vector<std::unique_ptr<Peer>> byFd;  // owns every peer
  std::vector<Peer*> members;  // at most kRoomSize, in join order; byFd keeps them alive
  std::vector<Peer*> toFlush;  // peers given output in this iteration
  std::vector<Peer*> toClose;
};

std::atomic<int> gRunning{1};

void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The 20-byte name field up to its first NUL, zero-filled after it: the
// form in which two names compare equal exactly when they are the same name.
void CanonicalName(const uint8_t* field, uint8_t name[kNameSize]) {
  std::memset(name, 0, kNameSize);
  for (size_t i = 0; i < kNameSize && field[i] != 0; ++i)
    name[i] = field[i];
}

bool Watch(Relay& relay, Peer& peer, bool out) {
  epoll_event event = {};
  event.events = out ? EPOLLIN | EPOLLOUT : EPOLLIN;
  event.data.fd = peer.fd.Get();
  peer.watchOut = out;
  return epoll_ctl(relay.epoll.Get(), EPOLL_CTL_MOD, peer.fd.Get(), &event) == 0;
}

void Close(Relay& relay, Peer& peer) {
  if (peer.closing) return;
  peer.closing = true;
  relay.toClose.push_back(&peer);
}

void Queue(Relay& relay, Peer& peer, const uint8_t* bytes, size_t len) {
  if (peer.closing) return;
  peer.out.insert(peer.out.end(), bytes, bytes + len);
  if (peer.out.size() - peer.outSent > kMaxPending) {
    Close(relay, peer);
    return;
  }
  if (!peer.flushing) {
    peer.flushing = true;
    relay.toFlush.push_back(&peer);
  }
}

// A frame of the relay's own, without payload (LoginAccepted, NameInUse).
void Answer(Relay& relay, Peer& peer, uint32_t type) {
  Frame frame = BuildFrame(type, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  if (frame.empty()) {
    Close(relay, peer);
    return;
  }
  Queue(relay, peer, frame.data(), frame.size());
}

Peer* FindMember(Relay& relay, const uint8_t name[kNameSize]) {
  for (Peer* member : relay.members)
    if (std::memcmp(member->name, name, kNameSize) == 0) return member;
  return nullptr;
}

void Login(Relay& relay, Peer& peer, const FrameHeader& header, const uint8_t* payload) {
  uint32_t payloadLen = PayloadLength(header.lengthWord);
  if (peer.member || payloadLen == 0) return;
  // The name is the first 20 bytes of the plaintext: two blocks at most.
  std::vector<uint8_t> plain;
  DecryptPayload(header, payload, payloadLen < 32 ? payloadLen : 32, plain);
  plain.resize(kNameSize);
  uint8_t name[kNameSize];
  CanonicalName(plain.data(), name);
  if (FindMember(relay, name) != nullptr) {
    Answer(relay, peer, FrameType::NameInUse);
    return;
  }
  if (relay.members.size() >= static_cast<size_t>(kRoomSize)) return;  // a full room says nothing
  std::memcpy(peer.name, name, kNameSize);
  peer.member = true;
  relay.members.push_back(&peer);
  Answer(relay, peer, FrameType::LoginAccepted);
}

// The client's frame with the sender's name and the scope in its header;
// LengthWord (the sender's PayloadKind with it), IV and payload as they came.
void Chat(Relay& relay, Peer& peer, const FrameHeader& header, const uint8_t* payload) {
  uint32_t payloadLen = PayloadLength(header.lengthWord);
  if (payloadLen == 0) return;
  bool isPrivate = header.scope == Scope::Private && header.name[0] != 0;
  uint8_t relayed[kHeaderSize] = {};
  StoreLe32(relayed, FrameType::Chat);
  StoreLe32(relayed + 4, header.lengthWord);
  StoreLe32(relayed + 8, isPrivate ? Scope::Private : Scope::Public);
  std::memcpy(relayed + 12, peer.name, kNameSize);  // empty for a non-member
  std::memcpy(relayed + 32, header.iv, sizeof header.iv);
  auto deliver = [&](Peer& to) {
    Queue(relay, to, relayed, kHeaderSize);
    Queue(relay, to, payload, payloadLen);
  };
  if (!isPrivate) {
    for (Peer* member : relay.members)
      deliver(*member);
    return;
  }
  uint8_t to[kNameSize];
  CanonicalName(header.name, to);
  if (Peer* recipient = FindMember(relay, to))
    deliver(*recipient);  // else dropped, as the room does
}

// Takes every frame the TLS connection holds now.
void ReadFrames(Relay& relay, Peer& peer) {
  while (!peer.closing) {
    size_t room = 0;
    uint8_t* at = peer.reader.Room(room);
    int n = SSL_read(peer.ssl.get(), at, static_cast<int>(room));
    if (n <= 0) {
      int err = SSL_get_error(peer.ssl.get(), n);
      if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) Close(relay, peer);
      ERR_clear_error();
      return;
    }
    peer.reader.Commit(static_cast<size_t>(n));
    FrameHeader header;
    const uint8_t* payload = nullptr;
    for (;;) {
      FrameReader::Result result = peer.reader.Next(header, payload);
      if (result == FrameReader::Result::kNeedMore) break;
      if (result == FrameReader::Result::kBadHeader) {
        Close(relay, peer);
        return;
      }
      if (header.type == FrameType::Login) {
        Login(relay, peer, header, payload);
      } else if (header.type == FrameType::Logout) {
        Close(relay, peer);
        return;
      } else if (header.type == FrameType::Chat) {
        Chat(relay, peer, header, payload);
      }
    }
  }
}

void Handshake(Relay& relay, Peer& peer) {
  int rc = SSL_accept(peer.ssl.get());
  if (rc == 1) {
    peer.handshaken = true;
    if (peer.watchOut) Watch(relay, peer, false);
    // Records read ahead with the handshake's last would wait unseen; a
    // connection with none gets no read buffer until it sends.
    if (SSL_has_pending(peer.ssl.get())) ReadFrames(relay, peer);
    return;
  }
  int err = SSL_get_error(peer.ssl.get(), rc);
  ERR_clear_error();
  if (err == SSL_ERROR_WANT_READ) {
    if (peer.watchOut) Watch(relay, peer, false);
  } else if (err == SSL_ERROR_WANT_WRITE) {
    if (!peer.watchOut) Watch(relay, peer, true);
  } else {
    Close(relay, peer);
  }
}

// Writes what waits for `peer`, records of up to 16 KiB one after another,
// until it is all out or the socket is full (then EPOLLOUT brings it back).
void Flush(Relay& relay, Peer& peer) {
  if (peer.closing) return;
  while (peer.outSent < peer.out.size()) {
    int n = SSL_write(peer.ssl.get(), peer.out.data() + peer.outSent,
                      static_cast<int>(peer.out.size() - peer.outSent));
    if (n > 0) {
      peer.outSent += static_cast<size_t>(n);
      continue;
    }
    int err = SSL_get_error(peer.ssl.get(), n);
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) {
      if (!peer.watchOut) Watch(relay, peer, true);
      return;
    }
    Close(relay, peer);
    return;
  }
  peer.out.clear();
  peer.outSent = 0;
  if (peer.watchOut) Watch(relay, peer, false);
}

void AcceptAll(Relay& relay) {
  for (;;) {
    UniqueFd fd;
    IpAddress ip;
    int port = 0;
    AcceptResult result = AcceptTcp(relay.listener.Get(), fd, ip, port);
    if (result == AcceptResult::kNothing) return;
    if (result == AcceptResult::kFailed) {
      perror("accept");
      return;
    }
    SetNoDelay(fd.Get());
    auto peer = std::make_unique<Peer>();
    peer->ssl.reset(SSL_new(relay.ctx.get()));
    if (!peer->ssl || SSL_set_fd(peer->ssl.get(), fd.Get()) != 1) continue;
    SSL_set_accept_state(peer->ssl.get());
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = fd.Get();
    if (epoll_ctl(relay.epoll.Get(), EPOLL_CTL_ADD, fd.Get(), &event) != 0) continue;
    const size_t slot = static_cast<size_t>(fd.Get());
    peer->fd = std::move(fd);
    if (relay.byFd.size() <= slot) relay.byFd.resize(slot + 1);
    relay.byFd[slot] = std::move(peer);
  }
}

// Frees the peers closed in this iteration; only now, so that no event of
// the iteration meets a freed peer or a reused descriptor.
void Reap(Relay& relay) {
  for (Peer* peer : relay.toClose) {
    for (size_t i = 0; i < relay.members.size(); ++i) {
      if (relay.members[i] == peer) {
        relay.members.erase(relay.members.begin() + static_cast<long>(i));
        break;
      }
    }
    relay.byFd[static_cast<size_t>(peer->fd.Get())].reset();  // closing the fd leaves epoll
  }
  relay.toClose.clear();
}

void Serve(Relay& relay, int stopFd) {
  epoll_event events[kMaxEvents];
  while (gRunning.load()) {
    int n = epoll_wait(relay.epoll.Get(), events, kMaxEvents, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("epoll_wait");
      return;
    }
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == stopFd) return;
      if (fd == relay.listener.Get()) {
        AcceptAll(relay);
        continue;
      }
      Peer* peer = relay.byFd[static_cast<size_t>(fd)].get();
      if (peer == nullptr || peer->closing) continue;
      if (!peer->handshaken) {
        Handshake(relay, *peer);
        continue;
      }
      if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) ReadFrames(relay, *peer);
      if ((events[i].events & EPOLLOUT) && !peer->flushing) {
        peer->flushing = true;
        relay.toFlush.push_back(peer);
      }
    }
    for (Peer* peer : relay.toFlush) {
      peer->flushing = false;
      Flush(relay, *peer);
    }
    relay.toFlush.clear();
    Reap(relay);
  }
}

// TLS 1.2 with AES128-SHA from the server's certificate files, set up as the
// server sets up its own (no session cache, no renegotiation, the chain
// built once), but asking for no client certificate.
SslCtxPtr NewContext(const char* certFile, const char* keyFile) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx.get(), "AES128-SHA") != 1 ||
      SSL_CTX_use_certificate_chain_file(ctx.get(), certFile) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    ERR_print_errors_fp(stderr);
    return nullptr;
  }
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_build_cert_chain(ctx.get(), 0);
  ERR_clear_error();
  // Flush hands the rest of its buffer back after each record.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // One read() takes in as many records as have come, not a header and
  // then a body for each. ReadFrames reads until the socket is empty, so
  // nothing waits unseen in the TLS buffer while epoll sleeps.
  SSL_CTX_set_read_ahead(ctx.get(), 1);
  return ctx;
}

bool WatchIn(Relay& relay, int fd) {
  epoll_event event = {};
  event.events = EPOLLIN;
  event.data.fd = fd;
  return epoll_ctl(relay.epoll.Get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: lean-relay PORT CERT KEY\n");
    return 2;
  }
  char* end = nullptr;
  long port = std::strtol(argv[1], &end, 10);
  if (end == argv[1] || *end != '\0' || port < 0 || port > 65535) {
    std::fprintf(stderr, "lean-relay: bad port %s\n", argv[1]);
    return 2;
  }
  IgnoreSigpipe();
  InstallStopHandler(&gRunning);

  Relay relay;
  relay.ctx = NewContext(argv[2], argv[3]);
  if (!relay.ctx) return 1;
  IpAddress loopback;
  ParseIpAddress("127.0.0.1", loopback);
  const char* failedCall = nullptr;
  relay.listener = ListenTcp(loopback, static_cast<uint16_t>(port), kBacklog, false, failedCall);
  if (!relay.listener.Valid()) {
    perror(failedCall);
    return 1;
  }
  relay.epoll = UniqueFd(epoll_create1(EPOLL_CLOEXEC));
  if (!relay.epoll.Valid() || !WatchIn(relay, relay.listener.Get()) ||
      (StopWakeFd() >= 0 && !WatchIn(relay, StopWakeFd()))) {
    perror("epoll");
    return 1;
  }
  std::printf("[+] lean-relay on 127.0.0.1:%d\n", LocalPort(relay.listener.Get()));
  std::fflush(stdout);
  Serve(relay, StopWakeFd());
  return 0;
}
