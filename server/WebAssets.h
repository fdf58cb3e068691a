// The web app's files, compiled into the server at build time, and their
// content types. Used by the web listener's HTTP side.
#pragma once

#include <cstddef>
#include <string_view>

namespace saferoom {

struct WebAsset {
  const char* path;  // as served: "/index.html", "/lib/frame.mjs"
  const unsigned char* data;
  size_t size;
};

// Defined in the file the build makes (server/EmbedWebFiles.cmake).
extern const WebAsset kWebAssets[];
extern const size_t kNumWebAssets;

// The file served at `path` ("/" is "/index.html"); null when there is none.
const WebAsset* FindWebAsset(std::string_view path);

// The Content-Type for a path, by its extension.
std::string_view ContentTypeFor(std::string_view path);

}  // namespace saferoom
