// Standard streams: is it a terminal, raw reads and writes. Called by
// client/, the server's console writer and the tests that drive the programs.
#pragma once

#include <cstddef>

// True when `fd` is a terminal.
bool IsTerminal(int fd);

// The size of the terminal on `fd` in character cells; false (errno set)
// when it has none.
bool TerminalSize(int fd, int& rows, int& cols);

// Reads up to `len` bytes: > 0 bytes read, 0 end of input, -1 error (errno
// set). EINTR is retried.
long ReadFd(int fd, void* buf, size_t len);

// Writes all `len` bytes, waiting as needed (also on a descriptor in
// non-blocking mode). False on error (errno set), for instance EPIPE when the
// reader has gone.
bool WriteFd(int fd, const void* buf, size_t len);
