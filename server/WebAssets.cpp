// Lookups in the web app's compiled-in files.
#include "server/WebAssets.h"

namespace saferoom {

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

const WebAsset* FindWebAsset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (size_t i = 0; i < kNumWebAssets; ++i) {
    if (path == kWebAssets[i].path) return &kWebAssets[i];
  }
  return nullptr;
}

std::string_view ContentTypeFor(std::string_view path) {
  struct Type {
    const char* extension;
    const char* contentType;
  };
  static const Type kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".mjs", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".webmanifest", "application/manifest+json"},
  };
  for (const Type& t : kTypes) {
    if (EndsWith(path, t.extension)) return t.contentType;
  }
  return "application/octet-stream";
}

}  // namespace saferoom
