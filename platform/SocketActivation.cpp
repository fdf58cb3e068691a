// Socket activation through libsystemd, which knows the variables' rules
// (LISTEN_PID, LISTEN_FDS, LISTEN_FDNAMES) and marks the sockets
// close-on-exec. Called through platform/SocketActivation.h.
#include "platform/SocketActivation.h"

#include <sys/socket.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdlib>

namespace saferoom {

bool TakePassedSockets(std::vector<PassedSocket>& sockets) {
  sockets.clear();
  char** names = nullptr;
  int count = sd_listen_fds_with_names(1, &names);
  if (count < 0) {
    errno = -count;
    return false;
  }
  for (int i = 0; i < count; ++i) {
    PassedSocket passed;
    passed.fd.Reset(SD_LISTEN_FDS_START + i);
    if (names != nullptr && names[i] != nullptr) passed.name = names[i];
    sockets.push_back(std::move(passed));
  }
  if (names != nullptr) {
    for (char** n = names; *n != nullptr; ++n)
      free(*n);
    free(names);
  }
  return true;
}

bool IsListeningTcpSocket(int fd) {
  // Family 0: either; 1: listening; port 0: any.
  return sd_is_socket_inet(fd, 0, SOCK_STREAM, 1, 0) > 0;
}

}  // namespace saferoom
