// PROTOCOL.md's limits table against the constants it names: a change to a
// limit that forgets the document, or to the document that forgets the
// code, fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "protect/Frame.h"
#include "room/ClientSession.h"
#include "room/Console.h"
#include "room/DeliveryQueue.h"
#include "room/History.h"
#include "room/SendQueue.h"
#include "room/UserTable.h"
#include "server/ConnectionGate.h"
#include "server/DeviceAuth.h"
#include "server/Listeners.h"
#include "server/SafeTcpServer.h"
#include "server/StateDir.h"
#include "server/WebHttp.h"
#include "server/WebLink.h"

namespace saferoom {

namespace {

enum class Unit { kCount, kBytes, kMs, kSec, kDays };

struct Limit {
  std::string name;  // as the table's constant column names it
  int64_t value;
  Unit unit;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A number as the document writes it: 1,024.
std::string Grouped(int64_t v) {
  std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// Every way the document may write `v` in `unit`: 65,536 bytes or 64 KiB.
std::vector<std::string> Spellings(int64_t v, Unit unit) {
  std::vector<std::string> out;
  switch (unit) {
    case Unit::kCount:
      out = {Grouped(v)};
      if (v >= 1000) out.push_back(std::to_string(v));
      break;
    case Unit::kBytes:
      out = {Grouped(v) + " bytes"};
      if (v % 1024 == 0) out.push_back(std::to_string(v / 1024) + " KiB");
      if (v % (1024 * 1024) == 0) out.push_back(std::to_string(v / (1024 * 1024)) + " MiB");
      break;
    case Unit::kMs:
      out = {Grouped(v) + " ms"};
      if (v % 1000 == 0) out.push_back(std::to_string(v / 1000) + " s");
      break;
    case Unit::kSec:
      out = {std::to_string(v) + " s"};
      break;
    case Unit::kDays:
      out = {std::to_string(v) + (v == 1 ? " day" : " days")};
      break;
  }
  return out;
}

// Where `word` stands in `text` at or after `from` as a whole number (no
// digit or separator before it, none after), or npos.
size_t FindNumber(const std::string& text, const std::string& word, size_t from) {
  for (size_t at = text.find(word, from); at != std::string::npos; at = text.find(word, at + 1)) {
    const char before = at == 0 ? ' ' : text[at - 1];
    const size_t end = at + word.size();
    const char after = end < text.size() ? text[end] : ' ';
    const bool digitAfter = isdigit(static_cast<unsigned char>(after)) ||
                            (after == ',' && end + 1 < text.size() &&
                             isdigit(static_cast<unsigned char>(text[end + 1])));
    if (!isdigit(static_cast<unsigned char>(before)) && before != ',' && before != '.' &&
        !digitAfter && !isalpha(static_cast<unsigned char>(after)))
      return at;
  }
  return std::string::npos;
}

// A number a script writes, by the first group of `pattern`; -1 when the
// script no longer has it.
int64_t FromScript(const std::string& script, const char* pattern) {
  std::smatch m;
  const std::string text = ReadFile(std::string(SOURCE_DIR) + "/" + script);
  if (!std::regex_search(text, m, std::regex(pattern))) return -1;
  return std::stoll(m[1]);
}

// Every constant the table must name, with its unit.
std::vector<Limit> Constants() {
  return {
      {"kMaxPayload", kMaxPayload, Unit::kBytes},
      {"kMaxTextLen", static_cast<int64_t>(kMaxTextLen), Unit::kBytes},
      {"kNameSize", kNameSize, Unit::kBytes},
      {"kRoomSize", kRoomSize, Unit::kCount},
      {"kQueueCapacity", kQueueCapacity, Unit::kCount},
      {"kMaxConnections", kMaxConnections, Unit::kCount},
      {"kMaxEvicting", kMaxEvicting, Unit::kCount},
      {"kMaxPerAddress", kMaxPerAddress, Unit::kCount},
      {"kHandshakeTimeoutMs", kHandshakeTimeoutMs, Unit::kMs},
      {"kMaxRequestHead", kMaxRequestHead, Unit::kBytes},
      {"kRequestIdleMs", kRequestIdleMs, Unit::kMs},
      {"kMaxWebSocketMessage", kMaxWebSocketMessage, Unit::kBytes},
      {"kIdleTimeoutMs", kIdleTimeoutMs, Unit::kMs},
      {"kKeepAliveIdleSec", kKeepAliveIdleSec, Unit::kSec},
      {"kKeepAliveProbes", kKeepAliveProbes, Unit::kCount},
      {"kKeepAliveIntervalSec", kKeepAliveIntervalSec, Unit::kSec},
      {"kSendQueueBytes", kSendQueueBytes, Unit::kBytes},
      {"kRunCostBytes", kRunCostBytes, Unit::kBytes},
      {"kSendStallMs", kSendStallMs, Unit::kMs},
      {"kSendChunkBytes", kSendChunkBytes, Unit::kBytes},
      {"kStrangerQueueBytes", kStrangerQueueBytes, Unit::kBytes},
      {"kUnsentLimitBytes", kUnsentLimitBytes, Unit::kBytes},
      {"kHistoryMaxLength", kHistoryMaxLength, Unit::kCount},
      {"kHistoryMaxBytes", kHistoryMaxBytes, Unit::kBytes},
      {"kHistoryMaxAnswerBytes", kHistoryMaxAnswerBytes, Unit::kBytes},
      {"kHistoryMaxKeptPayload", kHistoryMaxKeptPayload, Unit::kBytes},
      {"kHistoryItemPrefix", kHistoryItemPrefix, Unit::kBytes},
      {"kHistoryBudgetBytes", kHistoryBudgetBytes, Unit::kBytes},
      {"kHistoryBudgetMs", kHistoryBudgetMs, Unit::kMs},
      {"kCountLineMs", kCountLineMs, Unit::kMs},
      {"kConsoleBufferBytes", kConsoleBufferBytes, Unit::kBytes},
      {"kConsoleStopWaitMs", kConsoleStopWaitMs, Unit::kMs},
      {"kListenBacklog", kListenBacklog, Unit::kCount},
      {"kDeviceExchangeMs", kDeviceExchangeMs, Unit::kMs},
      {"kMaxExchangePayload", kMaxExchangePayload, Unit::kBytes},
      {"kMaxStateFileBytes", kMaxStateFileBytes, Unit::kBytes},
      {"kStateLockWaitMs", kStateLockWaitMs, Unit::kMs},
      {"kReplayBytes", kReplayBytes, Unit::kBytes},
      {"kReclaimKeySize", kReclaimKeySize, Unit::kBytes},
      // The member scripts' own: an invitation's lifetime, their wait for
      // the state's lock.
      {"scripts/add-member.sh", FromScript("scripts/add-member.sh", R"(now \+ ([0-9]+) \* 86400)"),
       Unit::kDays},
      {"scripts/members-lib.sh", FromScript("scripts/members-lib.sh", R"(flock -w ([0-9]+))"),
       Unit::kSec},
  };
}

// The cells of a table line, trimmed.
std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line.substr(1));  // past the leading |
  for (std::string cell; std::getline(in, cell, '|');) {
    const size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
    cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
  }
  return cells;
}

// The first table after the "## Limits" heading, its header first; empty
// when there is none.
std::vector<std::vector<std::string>> LimitsTable(const std::string& doc) {
  std::vector<std::vector<std::string>> table;
  std::stringstream in(doc);
  std::string line;
  while (std::getline(in, line) && line != "## Limits") {
  }
  while (std::getline(in, line) && line.rfind("|", 0) != 0 && line.rfind("## ", 0) != 0) {
  }
  while (line.rfind("|", 0) == 0) {
    if (line.rfind("|---", 0) != 0) table.push_back(Cells(line));
    if (!std::getline(in, line)) break;
  }
  return table;
}

TEST(Limits, EveryDocumentedValueIsTheConstantItNames) {
  const std::vector<std::vector<std::string>> table = LimitsTable(ReadFile(PROTOCOL_FILE));
  ASSERT_GT(table.size(), 1u) << "no table under \"## Limits\" in " << PROTOCOL_FILE;
  const std::vector<std::string>& header = table[0];
  const auto column = [&](const char* name) {
    return std::find(header.begin(), header.end(), name) - header.begin();
  };
  const size_t limitCol = column("limit"), valueCol = column("value"), constantCol = column("constant");
  ASSERT_LT(std::max({limitCol, valueCol, constantCol}), header.size()) << "columns limit, value, constant";

  std::map<std::string, Limit> known;
  for (const Limit& c : Constants()) known.emplace(c.name, c);
  std::map<std::string, int> named;
  static const std::regex kName("`([^`]+)`");
  for (size_t r = 1; r < table.size(); ++r) {
    const std::vector<std::string>& row = table[r];
    ASSERT_EQ(row.size(), header.size()) << "a row with other columns: " << row[0];
    const std::string& value = row[valueCol];
    const std::string& constants = row[constantCol];
    SCOPED_TRACE(row[limitCol] + " | " + value);
    if (constants == "—") continue;  // nothing in the code holds it
    // Each constant's value stands in the value cell, in the order named.
    size_t from = 0, count = 0;
    for (std::sregex_iterator it(constants.begin(), constants.end(), kName), end; it != end;
         ++it, ++count) {
      const std::string name = (*it)[1];
      ++named[name];
      const auto c = known.find(name);
      if (c == known.end()) {
        ADD_FAILURE() << "the table names " << name << ", which this test does not know";
        continue;
      }
      ASSERT_GE(c->second.value, 0) << name << ": the script no longer sets it as expected";
      size_t at = std::string::npos, after = 0;
      std::string tried;
      for (const std::string& word : Spellings(c->second.value, c->second.unit)) {
        const size_t found = FindNumber(value, word, from);
        if (found < at) at = found, after = found + word.size();
        tried += (tried.empty() ? "\"" : " or \"") + word + "\"";
      }
      EXPECT_TRUE(at != std::string::npos) << name << " is " << tried << " in the code";
      if (at != std::string::npos) from = after;
    }
    EXPECT_GT(count, 0u) << "a row names its constants in `backticks`, or says — for none";
  }
  for (const auto& [name, limit] : known)
    EXPECT_EQ(named[name], 1) << name << " should be named by exactly one row of the table";
}

TEST(Limits, ValuesMatchOnlyAsWholeNumbers) {
  struct Case { const char* cell; int64_t value; Unit unit; bool found; };
  const Case kCases[] = {
      {"65,536 bytes, a multiple of 16", 65536, Unit::kBytes, true},
      {"64 KiB of whole frames", 65536, Unit::kBytes, true},
      {"165,536 bytes", 65536, Unit::kBytes, false},
      {"15 s", 5000, Unit::kMs, false},
      {"5 s while bytes wait", 5000, Unit::kMs, true},
      {"2.5 s", 5000, Unit::kMs, false},
      {"1,0240 messages", 1024, Unit::kCount, false},
      {"1,024 messages", 1024, Unit::kCount, true},
      {"40, handshakes included", 40, Unit::kCount, true},
      {"400", 40, Unit::kCount, false},
      {"7 days", 7, Unit::kDays, true},
      {"17 days", 7, Unit::kDays, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.cell);
    bool found = false;
    for (const std::string& word : Spellings(c.value, c.unit))
      found = found || FindNumber(c.cell, word, 0) != std::string::npos;
    EXPECT_EQ(found, c.found);
  }
}

}  // namespace

}  // namespace saferoom
