// Session threads that outlive their connection for a moment.
#include "server/ClientThreads.h"

#include "platform/Os.h"
#include "room/ClientSession.h"
#include "server/SafeTcpServer.h"

namespace saferoom {

namespace {

void SessionThread(SafeTcpServer& server, Accepted accepted) {
  ClientThreads& pool = server.threads;
  while (accepted.link) {
    RunClientSession(server.room, accepted.link);
    // Its place is given back before its socket closes: whoever sees the
    // socket gone finds the place free.
    ReleaseConnection(server.gate, accepted.gateId);
    accepted.link.reset();
    std::unique_lock<std::mutex> hold(pool.lock);
    if (pool.lingering >= kMaxLingeringSessions) return;
    ++pool.lingering;
    // One timed wait, then the thread ends: an idle server never wakes.
    if (pool.handed.wait_until(hold, Deadline::In(kSessionLingerMs).TimePoint(),
                               [&] { return !pool.waiting.empty(); })) {
      accepted = std::move(pool.waiting.front());
      pool.waiting.pop_front();
    }
    --pool.lingering;
  }
}

}  // namespace

bool StartClientSession(SafeTcpServer& server, Accepted accepted) {
  ClientThreads& pool = server.threads;
  bool handed = false;
  {
    std::lock_guard<std::mutex> hold(pool.lock);
    if (pool.lingering > static_cast<int>(pool.waiting.size())) {
      pool.waiting.push_back(std::move(accepted));
      handed = true;
    }
  }
  if (handed) {
    // After the unlock: the thread woken need not wait for the lock.
    pool.handed.notify_one();
    return true;
  }
  return StartDetachedThread(
      [&server, a = std::move(accepted)]() mutable { SessionThread(server, std::move(a)); });
}

}  // namespace saferoom
