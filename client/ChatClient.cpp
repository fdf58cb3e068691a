// The client side of the chat protocol over one TLS 1.2 connection.
// Called by the chat command, the integration tests and the benchmarks.
#include "client/ChatClient.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Os.h"

namespace {

// The oldest error in the TLS queue as one line; clears the queue.
std::string TlsErrorText(const char* fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

void CopyName(const std::string& name, uint8_t field[kNameSize]) {
  std::memset(field, 0, kNameSize);
  std::memcpy(field, name.data(), std::min(name.size(), kNameSize));
}

}  // namespace

std::string ReceivedFrame::Text() const {
  auto end = std::find(payload.begin(), payload.end(), uint8_t{0});
  return std::string(payload.begin(), end);
}

std::vector<std::string> ReceivedFrame::Names() const {
  // The zero fill after the last name is shorter than a name, so it never
  // counts as one; an empty member name is a whole zero field and does.
  std::vector<std::string> names;
  for (size_t at = 0; at + kNameSize <= payload.size(); at += kNameSize) {
    names.push_back(NameString(payload.data() + at));
  }
  return names;
}

bool ChatClient::Connect(const ClientOptions& options, ConnectError& error, std::string& message) {
  error = ConnectError::kNone;
  message.clear();
  // A server that hangs up mid-write must give an error, not end the process.
  IgnoreSigpipe();
  conn.reset();
  reader = FrameReader();
  ERR_clear_error();

  ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (!ctx || !SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) ||
      !SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION)) {
    error = ConnectError::kSetup;
    message = "cannot make a TLS context: " + TlsErrorText("unknown error");
    return false;
  }
  if (options.verify) {
    if (SSL_CTX_load_verify_locations(ctx.get(), options.caFile.c_str(), nullptr) != 1) {
      error = ConnectError::kSetup;
      message = "cannot load CA file " + options.caFile + ": " + TlsErrorText("unreadable");
      return false;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  }
  if (!options.certFile.empty() || !options.keyFile.empty()) {
    const std::string& keyFile = options.keyFile.empty() ? options.certFile : options.keyFile;
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), options.certFile.c_str()) != 1) {
      error = ConnectError::kSetup;
      message = "cannot use certificate " + options.certFile + ": " + TlsErrorText("unreadable");
      return false;
    }
    if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      error = ConnectError::kSetup;
      message = "cannot use key " + keyFile + ": " + TlsErrorText("unreadable");
      return false;
    }
    if (SSL_CTX_check_private_key(ctx.get()) != 1) {
      error = ConnectError::kSetup;
      message = "key " + keyFile + " does not match certificate " + options.certFile;
      ERR_clear_error();
      return false;
    }
  }

  UniqueFd fd = ConnectTcp(options.host, options.port);
  if (!fd.Valid()) {
    error = ConnectError::kConnect;
    message = "cannot connect to " + options.host + " port " + std::to_string(options.port) + ": " +
              std::strerror(errno);
    return false;
  }
  TlsConnPtr made = NewTlsConn(ctx.get(), std::move(fd));
  if (!made) {
    error = ConnectError::kSetup;
    message = "cannot make a TLS session: " + TlsErrorText("unknown error");
    return false;
  }
  SSL* ssl = made->ssl.get();
  if (options.verify) {
    // An address is checked against the certificate's IP entries, anything
    // else as a host name (and sent as SNI).
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, options.host.c_str()) != 1) {
      ERR_clear_error();
      if (SSL_set1_host(ssl, options.host.c_str()) != 1 ||
          SSL_set_tlsext_host_name(ssl, options.host.c_str()) != 1) {
        error = ConnectError::kSetup;
        message = "cannot check host name " + options.host;
        ERR_clear_error();
        return false;
      }
    }
  }
  if (!TlsConnect(*made, options.handshakeTimeoutMs, false)) {
    long verifyResult = SSL_get_verify_result(ssl);
    if (options.verify && verifyResult != X509_V_OK) {
      error = ConnectError::kVerify;
      message = std::string("certificate verification failed: ") +
                X509_verify_cert_error_string(verifyResult);
      ERR_clear_error();
    } else {
      error = ConnectError::kTls;
      message = "TLS handshake failed: " + TlsErrorText("timed out or closed by the server");
    }
    return false;
  }
  conn = std::move(made);
  return true;
}

bool ChatClient::Login(const std::string& name) {
  uint8_t field[kNameSize];
  CopyName(name, field);
  Frame frame =
      BuildFrame(FrameType::Login, PayloadKind::Binary, field, kNameSize, nullptr, Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::Logout() {
  Frame frame =
      BuildFrame(FrameType::Logout, PayloadKind::Binary, nullptr, 0, nullptr, Scope::None);
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::SendChat(const std::string& text, const std::string& to, uint32_t kind) {
  uint8_t name[kNameSize];
  CopyName(to, name);
  uint32_t scope = to.empty() ? Scope::Public : Scope::Private;
  Frame frame;
  if (kind == PayloadKind::Text) {
    // BuildFrame would cut a Text payload at the NUL, and a text whose length
    // is a multiple of 16 would then travel without one. Built as binary with
    // the NUL counted, then marked Text, every text payload carries its NUL.
    std::string withNul = text;
    withNul.push_back('\0');
    frame = BuildFrame(FrameType::Chat, PayloadKind::Binary, withNul.data(),
                       static_cast<uint32_t>(withNul.size()), name, scope);
    if (!frame.empty()) frame[4] |= PayloadKind::Text;  // low bits of LengthWord
  } else {
    frame = BuildFrame(FrameType::Chat, kind, text.data(), static_cast<uint32_t>(text.size()), name,
                       scope);
  }
  return !frame.empty() && SendRaw(frame.data(), frame.size());
}

bool ChatClient::SendRaw(const void* data, size_t len) {
  return conn && TlsWrite(*conn, data, len);
}

RecvStatus ChatClient::Receive(ReceivedFrame& frame, int timeoutMs) {
  int64_t deadline = timeoutMs < 0 ? -1 : MonotonicMs() + timeoutMs;
  for (;;) {
    FrameHeader header;
    const uint8_t* payload = nullptr;
    FrameReader::Result result = reader.Next(header, payload);
    if (result == FrameReader::Result::kBadHeader) return RecvStatus::kBadFrame;
    if (result == FrameReader::Result::kFrame) {
      frame.type = header.type;
      frame.kind = KindOf(header.lengthWord);
      frame.scope = header.scope;
      frame.name = NameString(header.name);
      DecryptPayload(header, payload, PayloadLength(header.lengthWord), frame.payload);
      return RecvStatus::kFrame;
    }
    if (!conn) return RecvStatus::kClosed;
    int waitMs = -1;
    if (deadline >= 0) waitMs = static_cast<int>(std::max<int64_t>(0, deadline - MonotonicMs()));
    size_t room = 0;
    uint8_t* at = reader.Room(room);
    int got = TlsRead(*conn, at, static_cast<int>(room), waitMs);
    if (got < 0) return RecvStatus::kTimeout;
    if (got == 0) return RecvStatus::kClosed;
    reader.Commit(static_cast<size_t>(got));
  }
}

void ChatClient::Drop() {
  // Freeing the SSL object sends nothing; the socket closes after it.
  conn.reset();
  reader = FrameReader();
}

int ChatClient::Fd() const {
  return conn ? conn->fd.Get() : -1;
}
