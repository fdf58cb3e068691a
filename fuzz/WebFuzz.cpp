// Feeds arbitrary bytes to the web listener's HTTP side, in reads of varying
// size, and whatever follows an upgrade to its WebSocket framing: request
// heads, the files and refusals, the upgrade's checks, frames, fragments,
// control frames, closes. Every response must be whole HTTP, the stream
// must end once a close is sent, and nothing may come out that did not go in.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "server/WebHttp.h"
#include "server/WsStream.h"

namespace saferoom {}  // namespace saferoom

using namespace saferoom;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte sets how much each read brings, so heads and frames
  // straddle reads.
  const size_t readSize = 1 + data[0] % 61;
  ++data;
  --size;
  HttpExchange http;
  std::string input, response;
  bool upgraded = false;
  while (!upgraded) {
    if (size == 0) return 0;
    const size_t n = std::min(readSize, size);
    input.append(reinterpret_cast<const char*>(data), n);
    data += n;
    size -= n;
    for (bool more = true; more;) {
      const HttpExchange::Step step = http.Feed(input, response);
      if (step != HttpExchange::Step::kNeedMore && response.rfind("HTTP/1.1 ", 0) != 0) abort();
      if (step == HttpExchange::Step::kClose) return 0;
      upgraded = step == HttpExchange::Step::kUpgrade;
      more = step == HttpExchange::Step::kRespond && !input.empty();
      if (upgraded) break;
    }
    if (input.size() > 2 * kMaxRequestHead) abort();  // a head may not grow without end
  }
  WsStream ws(kHeaderSize + kMaxPayload);
  std::vector<uint8_t> stream;
  size_t fed = input.size();
  ws.Receive(reinterpret_cast<const uint8_t*>(input.data()), input.size(), stream);
  while (size > 0 && !ws.Ended()) {
    const size_t n = std::min(readSize, size);
    ws.Receive(data, n, stream);
    fed += n;
    data += n;
    size -= n;
    // The server's own messages go out between the client's.
    if (data[-1] % 7 == 0) ws.Send(data - n, n);
    ws.Outgoing().clear();
  }
  if (stream.size() > fed) abort();  // unmasking never makes bytes
  const uint8_t byte = 0;
  if (ws.Ended() && ws.Send(&byte, 1)) abort();
  return 0;
}
