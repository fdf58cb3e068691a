// The loopback relay: one thread polling the listener and both ends of every
// relayed connection, every wait bounded.
#include "tests/support/TcpRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "platform/Os.h"
#include "tests/support/TestServer.h"

namespace saferoom {

namespace {

constexpr int kPollMs = 20;
constexpr int kWriteMs = 5000;

// All of `len` bytes to a non-blocking socket within kWriteMs.
bool WriteAll(int fd, const char* data, long len) {
  const Deadline deadline = Deadline::In(kWriteMs);
  while (len > 0) {
    long sent = SendBytes(fd, data, static_cast<size_t>(len));
    if (sent > 0) {
      data += sent;
      len -= sent;
    } else if (sent < 0 && errno == EAGAIN) {
      if (PollFd(fd, true, deadline) != PollResult::kReady) return false;
    } else {
      return false;
    }
  }
  return true;
}

// What `from` has, to `to`; false at the end of either.
bool Pass(int from, int to) {
  char buf[16384];
  long got = RecvBytes(from, buf, sizeof buf);
  if (got < 0 && errno == EAGAIN) return true;
  return got > 0 && WriteAll(to, buf, got);
}

struct Line {
  UniqueFd client;
  UniqueFd server;
};

}  // namespace

TcpRelay::~TcpRelay() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

bool TcpRelay::Start(int targetPort) {
  target_ = targetPort;
  listener_.Reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!listener_.Valid() ||
      bind(listener_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener_.Get(), 16) != 0) {
    return false;
  }
  port = LocalPort(listener_.Get());
  thread_ = std::thread([this] { Run(); });
  return port > 0;
}

bool TcpRelay::Cut(bool keepServerSide) {
  keepServerSide_ = keepServerSide;
  cutDone_ = false;
  cut_ = true;
  const Deadline deadline = Deadline::In(5000);
  while (!cutDone_ && !deadline.Passed())
    SleepMs(5);
  return cutDone_;
}

void TcpRelay::Run() {
  std::vector<Line> lines;
  std::vector<UniqueFd> stale;  // servers' ends kept open after a cut
  std::vector<PollItem> items;
  while (!stop_) {
    const bool cut = cut_;
    if (cut) {
      for (Line& l : lines) {
        if (keepServerSide_) stale.push_back(std::move(l.server));
      }
      lines.clear();  // closing both ends: each peer sees its connection end
      cutDone_ = true;
    }
    items.assign(1 + 2 * lines.size(), PollItem());
    items[0].fd = cut ? -1 : listener_.Get();
    for (size_t i = 0; i < lines.size(); ++i) {
      items[1 + 2 * i].fd = lines[i].client.Get();
      items[2 + 2 * i].fd = lines[i].server.Get();
    }
    if (PollFds(items.data(), items.size(), Deadline::In(kPollMs)) != PollResult::kReady) continue;
    std::vector<Line> open;
    for (size_t i = 0; i < lines.size(); ++i) {
      Line& l = lines[i];
      const bool up = (!items[1 + 2 * i].ready || Pass(l.client.Get(), l.server.Get())) &&
                      (!items[2 + 2 * i].ready || Pass(l.server.Get(), l.client.Get()));
      if (up) open.push_back(std::move(l));
    }
    lines.swap(open);
    if (!items[0].ready) continue;
    Line l;
    l.client.Reset(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!l.client.Valid()) continue;
    l.server = ConnectTcp("127.0.0.1", static_cast<uint16_t>(target_), Deadline::In(kWriteMs));
    if (l.server.Valid() && SetNonBlocking(l.server.Get())) lines.push_back(std::move(l));
  }
}

}  // namespace saferoom
