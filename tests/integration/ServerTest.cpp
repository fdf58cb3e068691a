// The server binary from the outside: command line, certificate files,
// listener, TLS settings, hostile clients and the orderly stop.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "server/TlsConn.h"
#include "tests/support/TestServer.h"

namespace fs = std::filesystem;

namespace {

constexpr int kStatusUsage = 254;        // exit(-2) as a shell reads it
constexpr int kStatusInvalidPort = 253;  // exit(-3)

std::string CertFile(const std::string& name) {
  return TestCertsDir() + "/" + name;
}

// A client context that verifies the server against our development CA.
// `certDir`, when given, supplies client.crt and client.key.
SslCtxPtr ClientContext(int minVersion, int maxVersion, const std::string& certDir = "") {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx.get(), minVersion);
  SSL_CTX_set_max_proto_version(ctx.get(), maxVersion);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx.get(), CertFile("ca.crt").c_str(), nullptr) != 1) {
    return nullptr;
  }
  if (!certDir.empty() &&
      (SSL_CTX_use_certificate_file(ctx.get(), (certDir + "/client.crt").c_str(),
                                    SSL_FILETYPE_PEM) != 1 ||
       SSL_CTX_use_PrivateKey_file(ctx.get(), (certDir + "/client.key").c_str(),
                                   SSL_FILETYPE_PEM) != 1)) {
    return nullptr;
  }
  return ctx;
}

SslCtxPtr Tls12Context(const std::string& certDir = "") {
  return ClientContext(TLS1_2_VERSION, TLS1_2_VERSION, certDir);
}

// A completed handshake with the server at 127.0.0.1:port, its name checked;
// null when the handshake fails.
TlsConnPtr Handshake(int port, SSL_CTX* ctx) {
  UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(port));
  if (!fd.Valid() || ctx == nullptr) return nullptr;
  TlsConnPtr conn = NewTlsConn(ctx, std::move(fd));
  if (!conn) return nullptr;
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(conn->ssl.get()), "127.0.0.1");
  if (!TlsConnect(*conn, 5000, false)) return nullptr;
  return conn;
}

// True when the server ends the connection (end of stream or reset) within
// timeoutMs; whatever it sends first is read and dropped.
bool ClosedByServer(int fd, int timeoutMs) {
  int64_t deadline = MonotonicMs() + timeoutMs;
  char buf[512];
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    if (left < 0) return false;
    if (PollFd(fd, false, static_cast<int>(left)) != PollResult::kReady) return false;
    if (RecvBytes(fd, buf, sizeof buf) <= 0) return true;
  }
}

// The first flight of a TLS 1.2 client, for sending by hand.
std::string ClientHelloBytes() {
  SslCtxPtr ctx = Tls12Context();
  if (!ctx) return "";
  SslPtr ssl(SSL_new(ctx.get()));
  if (!ssl) return "";
  SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));  // ssl owns both
  SSL_connect(ssl.get());  // stops for want of the server's answer
  BIO* written = SSL_get_wbio(ssl.get());
  std::string hello(static_cast<size_t>(BIO_pending(written)), '\0');
  int n = BIO_read(written, hello.data(), static_cast<int>(hello.size()));
  return n > 0 ? hello.substr(0, static_cast<size_t>(n)) : "";
}

int FreePort() {
  UniqueFd probe = ListenTcp4(0, 1);
  return probe.Valid() ? LocalPort(probe.Get()) : -1;
}

size_t CountOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// --- Command line -----------------------------------------------------------

TEST(ServerCommandLine, WrongArgumentCountPrintsUsage) {
  const std::vector<std::vector<std::string>> cases = {{}, {"7000", "7001"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size());
    TestServer server;
    ASSERT_TRUE(server.Spawn(args, false));
    EXPECT_EQ(server.WaitExit(), kStatusUsage);
    EXPECT_EQ(server.out, "Usage:\n\tserver.exe [port]\n");
  }
}

TEST(ServerCommandLine, PortOutOfRangeRefused) {
  // -65535 would pass a comparison that forgot the sign.
  for (const char* arg : {"65536", "-1", "-65535"}) {
    SCOPED_TRACE(arg);
    TestServer server;
    ASSERT_TRUE(server.Spawn({arg}, false));
    EXPECT_EQ(server.WaitExit(), kStatusInvalidPort);
    EXPECT_EQ(server.out, "Invalid port.\n");
  }
}

TEST(ServerCommandLine, HighestPortAccepted) {
  TestServer server;
  ASSERT_TRUE(server.Start({"65535"})) << server.out << server.err;
  EXPECT_EQ(server.port, 65535);
}

TEST(ServerCommandLine, TextWithoutDigitsLetsSystemChoosePort) {
  TestServer server;
  ASSERT_TRUE(server.Start({"abc"})) << server.out << server.err;
  EXPECT_GT(server.port, 0);  // the notice names the bound port, not 0
  SslCtxPtr ctx = Tls12Context();
  EXPECT_NE(Handshake(server.port, ctx.get()), nullptr);
}

TEST(ServerCommandLine, LeadingDigitsNameThePort) {
  int port = FreePort();
  ASSERT_GT(port, 0);
  const std::string digits = std::to_string(port);
  for (const std::string& arg : {digits + "ab", "  " + digits, "+" + digits}) {
    SCOPED_TRACE(arg);
    TestServer server;
    ASSERT_TRUE(server.Start({arg})) << server.out << server.err;
    EXPECT_EQ(server.out, "[+] Server is working at " + digits + "\n");
    server.Stop();
  }
}

// --- Certificate files --------------------------------------------------------

// Writes a fresh P-256 key: it loads, but into a slot with no certificate.
bool WriteEcKey(const std::string& path) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) return false;
  BIO* out = BIO_new_file(path.c_str(), "w");
  bool ok = out != nullptr &&
            PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  BIO_free(out);
  EVP_PKEY_free(key);
  return ok;
}

struct CertCase {
  const char* name;
  const char* removed;  // file dropped from certs/, or null
  bool foreignRsaKey;   // server.key from the other CA's set
  bool ecKey;           // server.key replaced by an EC key
  int status;
  const char* stdoutText;
  const char* stderrMention;  // part of the TLS error dump, or null
};

constexpr CertCase kCertCases[] = {
    {"missing certificate", "server.crt", false, false, 3, "", "server.crt"},
    {"missing key", "server.key", false, false, 4, "", "server.key"},
    // OpenSSL checks a key of the certificate's own type as it loads it.
    {"key from another pair", nullptr, true, false, 4, "", "key values mismatch"},
    {"key of another type", nullptr, false, true, 5,
     "Private key does not match the certificate public key\n", nullptr},
};

TEST(ServerCertificates, EachFailureHasItsStatusAndOutput) {
  for (const CertCase& c : kCertCases) {
    SCOPED_TRACE(c.name);
    TestServer server;
    ASSERT_TRUE(server.Prepare());
    const std::string certs = server.dir + "/certs/";
    if (c.removed != nullptr) {
      ASSERT_TRUE(fs::remove(certs + c.removed));
    }
    if (c.foreignRsaKey) {
      fs::copy_file(CertFile("other/server.key"), certs + "server.key",
                    fs::copy_options::overwrite_existing);
    }
    if (c.ecKey) {
      ASSERT_TRUE(WriteEcKey(certs + "server.key"));
    }
    ASSERT_TRUE(server.Spawn({"0"}));
    EXPECT_EQ(server.WaitExit(), c.status);
    EXPECT_EQ(server.out, c.stdoutText);
    if (c.stderrMention != nullptr) {
      EXPECT_NE(server.err.find(c.stderrMention), std::string::npos) << server.err;
    }
  }
}

TEST(ServerCertificates, MissingCaStillServesClientsWithoutCertificate) {
  TestServer server;
  ASSERT_TRUE(server.Prepare());
  ASSERT_TRUE(fs::remove(server.dir + "/certs/ca.crt"));
  ASSERT_TRUE(server.Start()) << server.err;
  SslCtxPtr plain = Tls12Context();
  EXPECT_NE(Handshake(server.port, plain.get()), nullptr);
  // Nothing can verify a client certificate now.
  SslCtxPtr withCert = Tls12Context(TestCertsDir());
  ASSERT_NE(withCert, nullptr);
  EXPECT_EQ(Handshake(server.port, withCert.get()), nullptr);
  EXPECT_NE(Handshake(server.port, plain.get()), nullptr);
}

// --- Listener -----------------------------------------------------------------

TEST(ServerListener, SecondServerOnSamePortFailsAtBind) {
  TestServer first;
  ASSERT_TRUE(first.Start()) << first.err;
  TestServer second;
  ASSERT_TRUE(second.Spawn({std::to_string(first.port)}));
  EXPECT_EQ(second.WaitExit(), 1);
  EXPECT_EQ(second.err.rfind("bind: ", 0), 0u) << second.err;
  EXPECT_TRUE(first.Alive());
}

TEST(ServerListener, ConnectionNoticeNamesClientOwnPort) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port));
  ASSERT_TRUE(fd.Valid());
  int clientPort = LocalPort(fd.Get());
  const std::string notice =
      "[*] Connection from 127.0.0.1, port " + std::to_string(clientPort) + "\n";
  EXPECT_NE(server.WaitFor(notice), std::string::npos) << server.out;
}

TEST(ServerListener, ConnectionBeyondLimitClosedAtOnce) {
  constexpr int kLimit = 512;
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  const uint16_t port = static_cast<uint16_t>(server.port);
  std::vector<UniqueFd> held;
  size_t seen = 0;
  for (int i = 0; i < kLimit; ++i) {
    held.push_back(ConnectTcp("127.0.0.1", port));
    ASSERT_TRUE(held.back().Valid()) << i;
    // One at a time, so that the count is the server's, not the backlog's.
    seen = server.WaitFor("[*] Connection from", 5000, false, seen);
    ASSERT_NE(seen, std::string::npos) << i;
  }
  size_t errBefore = server.err.size();
  UniqueFd extra = ConnectTcp("127.0.0.1", port);
  ASSERT_TRUE(extra.Valid());
  const std::string notice =
      "[*] Connection from 127.0.0.1, port " + std::to_string(LocalPort(extra.Get())) + "\n";
  EXPECT_NE(server.WaitFor(notice, 5000, false, seen), std::string::npos);
  EXPECT_TRUE(ClosedByServer(extra.Get(), 3000));
  EXPECT_NE(server.WaitFor("\n", 3000, true, errBefore), std::string::npos);
  server.Pump(0);
  std::string errAdded = server.err.substr(errBefore);
  EXPECT_EQ(CountOf(errAdded, "\n"), 1u) << errAdded;
  // Ending the held connections makes room again.
  held.clear();
  SslCtxPtr ctx = Tls12Context();
  TlsConnPtr later;
  int64_t deadline = MonotonicMs() + 10000;
  while (!later && MonotonicMs() < deadline) {
    server.Pump(0);  // 512 error dumps must not stall the sessions on a full pipe
    later = Handshake(server.port, ctx.get());
  }
  EXPECT_NE(later, nullptr);
}

// --- TLS settings ---------------------------------------------------------------

TEST(ServerTls, NegotiatesTls12WithAes128Sha) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  // The client would prefer TLS 1.3 and stronger suites; the server decides.
  SslCtxPtr ctx = ClientContext(TLS1_2_VERSION, TLS1_3_VERSION);
  TlsConnPtr conn = Handshake(server.port, ctx.get());
  ASSERT_NE(conn, nullptr);
  EXPECT_STREQ(SSL_get_version(conn->ssl.get()), "TLSv1.2");
  EXPECT_STREQ(SSL_get_cipher_name(conn->ssl.get()), "AES128-SHA");
  EXPECT_EQ(SSL_get_verify_result(conn->ssl.get()), X509_V_OK);
}

TEST(ServerTls, Tls13OnlyClientRefused) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  SslCtxPtr tls13 = ClientContext(TLS1_3_VERSION, TLS1_3_VERSION);
  EXPECT_EQ(Handshake(server.port, tls13.get()), nullptr);
  EXPECT_NE(server.WaitFor("unsupported protocol", 5000, true), std::string::npos) << server.err;
  SslCtxPtr tls12 = Tls12Context();
  EXPECT_NE(Handshake(server.port, tls12.get()), nullptr);
  EXPECT_TRUE(server.Alive());
}

TEST(ServerTls, ClientCertificateVerifiedAgainstOurCa) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  SslCtxPtr ours = Tls12Context(TestCertsDir());
  SslCtxPtr foreign = Tls12Context(TestCertsDir() + "/other");
  ASSERT_NE(ours, nullptr);
  ASSERT_NE(foreign, nullptr);
  EXPECT_NE(Handshake(server.port, ours.get()), nullptr);
  EXPECT_EQ(Handshake(server.port, foreign.get()), nullptr);
  EXPECT_NE(server.WaitFor("certificate verify failed", 5000, true), std::string::npos)
      << server.err;
  SslCtxPtr plain = Tls12Context();
  EXPECT_NE(Handshake(server.port, plain.get()), nullptr);
  EXPECT_TRUE(server.Alive());
}

// --- Hostile clients --------------------------------------------------------------

TEST(ServerHostileClients, GarbageInsteadOfHandshakeClosesOnlyThatConnection) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  SslCtxPtr ctx = Tls12Context();
  TlsConnPtr bystander = Handshake(server.port, ctx.get());
  ASSERT_NE(bystander, nullptr);

  UniqueFd fd = ConnectTcp("127.0.0.1", static_cast<uint16_t>(server.port));
  ASSERT_TRUE(fd.Valid());
  const std::string garbage = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ASSERT_EQ(SendBytes(fd.Get(), garbage.data(), garbage.size()), static_cast<long>(garbage.size()));
  EXPECT_TRUE(ClosedByServer(fd.Get(), 5000));
  EXPECT_NE(server.WaitFor("error:", 5000, true), std::string::npos);  // the TLS error dump

  EXPECT_TRUE(server.Alive());
  EXPECT_NE(Handshake(server.port, ctx.get()), nullptr);
  // The member that was there all along still has a working session.
  char byte;
  EXPECT_EQ(TlsRead(*bystander, &byte, 1, 200), -1);  // open, nothing to read
}

TEST(ServerHostileClients, StalledHandshakesClosedAfterTenSecondsInAll) {
  const std::string hello = ClientHelloBytes();
  ASSERT_GT(hello.size(), 40u);
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.err;
  const uint16_t port = static_cast<uint16_t>(server.port);

  UniqueFd silent = ConnectTcp("127.0.0.1", port);
  UniqueFd trickle = ConnectTcp("127.0.0.1", port);
  ASSERT_TRUE(silent.Valid());
  ASSERT_TRUE(trickle.Valid());
  int64_t start = MonotonicMs();

  // One ClientHello byte every 100 ms: the whole hello would take far longer
  // than 10 s, and every byte would reset a per-read timeout.
  int64_t silentClosedAt = -1;
  int64_t trickleClosedAt = -1;
  size_t sent = 0;
  while ((silentClosedAt < 0 || trickleClosedAt < 0) && MonotonicMs() - start < 20000) {
    if (trickleClosedAt < 0) {
      if (ClosedByServer(trickle.Get(), 100)) {
        trickleClosedAt = MonotonicMs();
      } else if (sent < hello.size() && SendBytes(trickle.Get(), &hello[sent], 1) == 1) {
        ++sent;
      }
    }
    if (silentClosedAt < 0 && ClosedByServer(silent.Get(), trickleClosedAt < 0 ? 0 : 100)) {
      silentClosedAt = MonotonicMs();
    }
  }
  ASSERT_GE(trickleClosedAt, 0) << "trickling client never closed";
  ASSERT_GE(silentClosedAt, 0) << "silent client never closed";
  EXPECT_LT(sent, hello.size());
  EXPECT_GE(trickleClosedAt - start, 9000);
  EXPECT_LE(trickleClosedAt - start, 13000);
  EXPECT_GE(silentClosedAt - start, 9000);
  EXPECT_LE(silentClosedAt - start, 13000);

  SslCtxPtr ctx = Tls12Context();
  EXPECT_NE(Handshake(server.port, ctx.get()), nullptr);
}

// --- Stopping -----------------------------------------------------------------------

TEST(ServerStop, SigtermAndSigintStopCleanly) {
  for (bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "SIGINT" : "SIGTERM");
    TestServer server;
    ASSERT_TRUE(server.Start()) << server.err;
    // An open session must not hold the stop up.
    SslCtxPtr ctx = Tls12Context();
    TlsConnPtr open = Handshake(server.port, ctx.get());
    ASSERT_NE(open, nullptr);

    int64_t start = MonotonicMs();
    server.Signal(interrupt);
    EXPECT_EQ(server.WaitExit(5000), 0) << server.err;
    EXPECT_LT(MonotonicMs() - start, 4000);
    size_t sendStop = server.out.find("[-] SendMsg thread stop\n");
    size_t stopped = server.out.find("[-] Server stopped.\n");
    ASSERT_NE(sendStop, std::string::npos) << server.out;
    ASSERT_NE(stopped, std::string::npos) << server.out;
    EXPECT_LT(sendStop, stopped);
    EXPECT_EQ(stopped + 20, server.out.size());  // the last line
  }
}

}  // namespace
