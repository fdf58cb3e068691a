// The TLS connection wrapper over a socket pair: the total write deadline, a
// failure reaching the reader, close. (A reader that waited holding the lock
// would stall every relay in the integration tests; the handshake deadline
// is tested against the server in ServerTest.)
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "tests/support/RoomClient.h"
#include "tests/support/TestServer.h"
#include "tls/TlsConn.h"

namespace saferoom {

namespace {

// Two ends of one handshaken TLS 1.2 connection; the server end uses the
// development certificate.
struct Pair {
  SslCtxPtr serverCtx;
  SslCtxPtr clientCtx;
  TlsConnPtr server;
  TlsConnPtr client;
};

bool MakePair(Pair& pair) {
  IgnoreSigpipe();  // as server and client do: a write to a closed peer fails
  const std::string certs = TestCertsDir() + "/";
  std::string error;
  pair.clientCtx = NewClientContext(TestTls(), error);
  pair.serverCtx.reset(SSL_CTX_new(TLS_server_method()));
  int fds[2];
  if (!pair.serverCtx || !pair.clientCtx ||
      SSL_CTX_use_certificate_file(pair.serverCtx.get(), (certs + "server.crt").c_str(),
                                   SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(pair.serverCtx.get(), (certs + "server.key").c_str(),
                                  SSL_FILETYPE_PEM) != 1 ||
      socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    return false;
  }
  pair.server = NewTlsConn(pair.serverCtx.get(), UniqueFd(fds[0]));
  pair.client = NewTlsConn(pair.clientCtx.get(), UniqueFd(fds[1]));
  if (!pair.server || !pair.client) return false;
  auto accepted =
      std::async(std::launch::async, [&] { return TlsAccept(*pair.server, Deadline::In(5000)); });
  bool connected = TlsConnect(*pair.client, Deadline::In(5000));
  return accepted.get() && connected;
}

TEST(TlsConn, SlowReaderCannotStretchWritePastItsTotalDeadline) {
  Pair pair;
  ASSERT_TRUE(MakePair(pair));
  // The peer reads steadily, so every single wait for writability ends well
  // within the limit; only a deadline for the whole write stops it.
  std::atomic<bool> stop{false};
  auto slowReader = std::async(std::launch::async, [&] {
    std::vector<char> buf(16 * 1024);
    while (!stop.load() && TlsRead(*pair.client, buf.data(), buf.size(), Deadline::In(20)).status !=
                               IoStatus::kEnded) {
      SleepMs(10);  // pacing, not waiting for a result
    }
  });
  auto ownReader = std::async(std::launch::async, [&] {
    char byte;
    return TlsRead(*pair.server, &byte, 1, Deadline::Never()).status;
  });
  std::vector<char> big(64 * 1024 * 1024, 'a');
  int64_t start = MonotonicMs();
  IoStatus written = TlsWrite(*pair.server, big.data(), big.size(), Deadline::In(1000));
  int64_t took = MonotonicMs() - start;
  stop = true;
  ShutdownBoth(pair.client->fd.Get());
  slowReader.get();
  EXPECT_EQ(written, IoStatus::kTimeout);
  EXPECT_GE(took, 900);
  EXPECT_LE(took, 3000);
  // The connection is finished for everyone: the owner's reader wakes with
  // the end, and later writes give up at once.
  ASSERT_EQ(ownReader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(ownReader.get(), IoStatus::kEnded);
  start = MonotonicMs();
  EXPECT_EQ(TlsWrite(*pair.server, "x", 1, Deadline::In(1000)), IoStatus::kEnded);
  EXPECT_LT(MonotonicMs() - start, 100);
}

TEST(TlsConn, CloseSendsNotifyAndEndsLaterWrites) {
  Pair pair;
  ASSERT_TRUE(MakePair(pair));
  ASSERT_EQ(TlsWrite(*pair.server, "ab", 2, Deadline::In(5000)), IoStatus::kDone);
  TlsClose(*pair.server);
  EXPECT_EQ(TlsWrite(*pair.server, "c", 1, Deadline::In(5000)), IoStatus::kEnded);
  // What was sent before the close survives it, then the end comes.
  std::string got;
  char buf[8];
  for (ReadResult r;
       got.size() < 2 &&
       (r = TlsRead(*pair.client, buf, sizeof buf, Deadline::In(2000))).status == IoStatus::kDone;)
    got.append(buf, r.bytes);
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(TlsRead(*pair.client, buf, 1, Deadline::In(2000)).status, IoStatus::kEnded);
  EXPECT_EQ(SSL_get_shutdown(pair.client->ssl.get()) & SSL_RECEIVED_SHUTDOWN,
            SSL_RECEIVED_SHUTDOWN);
}

}  // namespace

}  // namespace saferoom
