// Session threads that outlive their connection for a moment.
#include "server/SessionPool.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/Os.h"
#include "room/ClientSession.h"
#include "server/SafeTcpServer.h"

namespace {

struct Pool {
  std::mutex lock;
  std::condition_variable handed;  // a connection was put in `waiting`
  // Connections handed over but not yet taken; never more than `lingering`,
  // so each one has a thread that will take it.
  std::deque<Accepted> waiting;  // guarded by lock
  int lingering = 0;             // guarded by lock: threads waiting for one
};

// Never destroyed: detached threads wait on it until the process ends.
Pool& ThePool() {
  static Pool& pool = *std::make_unique<Pool>().release();
  return pool;
}

void SessionThread(Accepted accepted) {
  Pool& pool = ThePool();
  while (accepted.conn) {
    ClientSession(std::move(accepted.conn), accepted.peer);
    ReleaseConnection(gServer->gate, accepted.peerIp);  // its socket is closed by now
    std::unique_lock<std::mutex> hold(pool.lock);
    if (pool.lingering >= kMaxLingeringSessions) return;
    ++pool.lingering;
    // One timed wait, then the thread ends: an idle server never wakes.
    if (pool.handed.wait_for(hold, std::chrono::milliseconds(kSessionLingerMs),
                             [&] { return !pool.waiting.empty(); })) {
      accepted = std::move(pool.waiting.front());
      pool.waiting.pop_front();
    }
    --pool.lingering;
  }
}

}  // namespace

bool StartSession(Accepted accepted) {
  Pool& pool = ThePool();
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
  return StartDetachedThread([a = std::move(accepted)]() mutable { SessionThread(std::move(a)); });
}
