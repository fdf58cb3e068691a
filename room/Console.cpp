// Console lines from every thread into one bounded buffer, and the one
// writer that takes them to standard output and error.
#include "room/Console.h"

#include <algorithm>
#include <chrono>

#include "platform/Io.h"
#include "platform/Os.h"

namespace saferoom {

namespace {

// A pipe takes a write of up to PIPE_BUF bytes (4096 on Linux) whole or not
// at all, so a reader never sees part of a line, even when the process ends
// in the middle of a write. Longer calls go in one write of their own.
constexpr size_t kWholeWriteBytes = 4096;

size_t CountLines(const std::string& lines) {
  size_t n = static_cast<size_t>(std::count(lines.begin(), lines.end(), '\n'));
  return std::max<size_t>(n, lines.empty() ? 0 : 1);
}

std::string DroppedLine(size_t numLines) {
  return "... " + std::to_string(numLines) + " console lines dropped\n";
}

}  // namespace

void Console::Out(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  QueueLocked(outFd_, lines, false);
}

void Console::Err(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  QueueLocked(errFd_, lines, false);
}

void Console::CloseWith(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!closed_) QueueDueCounts(MonotonicMs(), true);
  QueueLocked(outFd_, lines, true);
}

void Console::Count(const std::string& title, const std::string& latest) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (closed_) return;
  Tally& tally = tallies_[title];
  ++tally.pending;
  tally.latest = latest;
  // One that is not due now wakes the writer, which waits for its time.
  if (QueueDueCounts(MonotonicMs(), false) >= 0 && writerAsleep_) queued_.notify_one();
}

int64_t Console::QueueDueCounts(int64_t nowMs, bool all) {
  int64_t nextDue = -1;
  for (auto& [title, tally] : tallies_) {
    if (tally.pending == 0) continue;
    const int64_t due = tally.printed && !all ? tally.lastLineMs + kCountLineMs : nowMs;
    if (due > nowMs) {
      if (nextDue < 0 || due < nextDue) nextDue = due;
      continue;
    }
    QueueLocked(errFd_,
                title + " " + std::to_string(tally.pending) +
                    " since the last line (latest: " + tally.latest + ")\n",
                false);
    tally.pending = 0;
    tally.printed = true;
    tally.lastLineMs = nowMs;
  }
  return nextDue;
}

void Console::QueueLocked(int fd, const std::string& lines, bool last) {
  if (closed_) return;
  if (last) closed_ = true;
  if (!last && dropping_ && bufferedBytes_ <= kConsoleBufferBytes / 2) dropping_ = false;
  if (!last && (dropping_ || bufferedBytes_ + lines.size() > kConsoleBufferBytes)) {
    // Once dropping, everything goes until the writer has made room, so each
    // count stands for one gap and lines around it stay in order.
    dropping_ = true;
    NoteDropped(fd, CountLines(lines));
  } else if (!lines.empty()) {
    Chunk* back = chunks_.empty() ? nullptr : &chunks_.back();
    if (back != nullptr && back->fd == fd && back->dropped == 0 &&
        back->text.size() + lines.size() <= kWholeWriteBytes) {
      back->text += lines;
    } else {
      chunks_.push_back(Chunk{fd, lines, 0});
      ++numQueued_;
    }
    bufferedBytes_ += lines.size();
  }
  // A writer that lingers after a write takes this line at its end.
  if (writerAsleep_ || last) queued_.notify_one();
}

// Adds to the count at the end of the queue for `fd`, if there is one (the
// counts of both streams may be there, one after the other).
void Console::NoteDropped(int fd, size_t numLines) {
  for (auto it = chunks_.rbegin(); it != chunks_.rend() && it->dropped > 0; ++it) {
    if (it->fd == fd) {
      it->dropped += numLines;
      return;
    }
  }
  chunks_.push_back(Chunk{fd, std::string(), numLines});
  ++numQueued_;
}

void Console::RunWriter() {
  std::unique_lock<std::mutex> hold(consoleLock);
  bool wrote = false;  // since the last wait
  for (;;) {
    // Counted lines not yet due, and the linger after a write, are the only
    // reasons to wake on a timer: an idle console waits without one.
    const int64_t nextDue = closed_ ? -1 : QueueDueCounts(MonotonicMs(), false);
    const bool linger = wrote && chunks_.empty() && !closed_;
    wrote = false;
    const auto ready = [this] { return !chunks_.empty() || closed_; };
    if (linger) {
      // Lines that come meanwhile wait for the end of it, and go together.
      const int64_t end = MonotonicMs() + kWriterLingerMs;
      const int64_t until = nextDue < 0 ? end : std::min(nextDue, end);
      queued_.wait_for(hold, std::chrono::milliseconds(until - MonotonicMs()),
                       [this] { return closed_; });
      continue;
    }
    writerAsleep_ = true;
    if (nextDue < 0) {
      queued_.wait(hold, ready);
    } else {
      queued_.wait_for(hold, std::chrono::milliseconds(nextDue - MonotonicMs()), ready);
    }
    writerAsleep_ = false;
    if (chunks_.empty()) {
      if (closed_) break;  // all is written
      continue;
    }
    Chunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    bufferedBytes_ -= chunk.text.size();
    if (chunk.dropped > 0) chunk.text = DroppedLine(chunk.dropped);
    hold.unlock();
    // Blocks while nobody reads; only this thread waits.
    WriteFd(chunk.fd, chunk.text.data(), chunk.text.size());
    hold.lock();
    ++numWritten_;
    wrote = true;
    written_.notify_all();
  }
}

bool Console::WaitWritten(Deadline deadline) {
  std::unique_lock<std::mutex> hold(consoleLock);
  const uint64_t target = numQueued_;
  const auto done = [&] { return numWritten_ >= target; };
  if (deadline.IsNever()) {
    written_.wait(hold, done);
    return true;
  }
  return written_.wait_until(hold, deadline.TimePoint(), done);
}

}  // namespace saferoom
