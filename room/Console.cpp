// Console lines from every thread, each call's lines kept together.
#include "room/Console.h"

#include <cstdio>

namespace {

void Put(std::FILE* stream, const std::string& lines) {
  std::fwrite(lines.data(), 1, lines.size(), stream);
  std::fflush(stream);
}

}  // namespace

void Console::Out(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!closed_) Put(stdout, lines);
}

void Console::Err(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!closed_) Put(stderr, lines);
}

void Console::CloseWith(const std::string& lines) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (closed_) return;
  Put(stdout, lines);
  closed_ = true;
}
