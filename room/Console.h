// The server's console: notices on standard output, error lines on standard
// error, each whole and in the order printed. Printed by every thread of the
// server, written by one writer thread that the server starts, so that a
// console nobody reads never holds up a thread that prints.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/Deadline.h"

namespace saferoom {

// Bytes of lines waiting for the writer, as much again as a pipe holds. A
// console nobody reads costs this much memory; further lines are dropped.
constexpr size_t kConsoleBufferBytes = 64 * 1024;
// Counted lines of one title come at most this often.
constexpr int kCountLineMs = 1000;
// After a write the writer looks again this much later rather than being
// woken for each line: a burst of connections costs a wake-up each 10 ms,
// not one each line, and a line waits that long at most.
constexpr int kWriterLingerMs = 10;

class Console {
 public:
  // Lines go to these descriptors (standard output and error by default).
  explicit Console(int outFd = 1, int errFd = 2) : outFd_(outFd), errFd_(errFd) {}

  // One or more whole lines, each ending in '\n', queued for the writer;
  // never waits for the console. Lines from one call stay together. Lines
  // that find the buffer full are dropped, as are all after them until the
  // writer has emptied half of it; in their place the writer puts "... N
  // console lines dropped" on the same stream. Nothing is queued once the
  // console is closed.
  void Out(const std::string& lines);
  void Err(const std::string& lines);
  // For what may come in floods (refused connections and logins): one
  // line on standard error, "TITLE N since the last line (latest: LATEST)",
  // at most once every kCountLineMs for each `title`. The first of a burst
  // is told at once, the rest together once its time is up, even when
  // nothing follows; none is lost. `latest` must be printable.
  void Count(const std::string& title, const std::string& latest);
  // Queues `lines` for standard output as the last of all, however full the
  // buffer is, and closes the console; counts still waiting go just before.
  void CloseWith(const std::string& lines);

  // The writer's thread body: writes what is queued, in order, until the
  // console is closed and all is written. Lines whose write fails (a reader
  // that has gone: EPIPE) are lost and nothing else changes. The console
  // must outlive the thread (join it, or never destroy the console).
  void RunWriter();

  // Waits until the writer has written everything queued before the call,
  // or until `deadline`: false then (always, when no writer runs).
  bool WaitWritten(Deadline deadline);

 private:
  // Whole lines for one descriptor, written by one write call; or, with
  // `dropped` set, the line that counts what was dropped there.
  struct Chunk {
    int fd;
    std::string text;
    size_t dropped;
  };

  // What one title's next counted line will say.
  struct Tally {
    uint64_t pending = 0;    // since the last line
    int64_t lastLineMs = 0;  // when it was printed, if `printed`
    bool printed = false;
    std::string latest;
  };

  // The caller holds consoleLock.
  void QueueLocked(int fd, const std::string& lines, bool last);
  void NoteDropped(int fd, size_t numLines);
  // Queues the count lines due by `nowMs` (all, with `all`); the monotonic
  // time of the next one due, or -1 when none waits.
  int64_t QueueDueCounts(int64_t nowMs, bool all);

  const int outFd_;
  const int errFd_;
  std::mutex consoleLock;
  std::condition_variable queued_;   // the writer waits here for chunks
  std::condition_variable written_;  // WaitWritten waits here
  std::deque<Chunk> chunks_;         // guarded by consoleLock, and so is the rest
  size_t bufferedBytes_ = 0;         // text in chunks_
  bool dropping_ = false;            // since the buffer was full
  bool closed_ = false;
  uint64_t numQueued_ = 0;   // chunks ever put in chunks_
  uint64_t numWritten_ = 0;  // of those, written (or lost) by the writer
  std::map<std::string, Tally> tallies_;
  bool writerAsleep_ = false;  // in its untimed wait: a line wakes it
};

}  // namespace saferoom
