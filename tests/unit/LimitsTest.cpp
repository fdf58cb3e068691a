// PROTOCOL.md's limits table against the constants it names: a change to a
// limit that forgets the document, or to the document that forgets the
// code, fails here.
#include <gtest/gtest.h>

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
      out = {Grouped(v), std::to_string(v)};
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
      {"kNumSlots", kNumSlots, Unit::kCount},
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
      {"kReadPauseBytes", kReadPauseBytes, Unit::kBytes},
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
      // The member scripts' own: an invitation's lifetime, their wait for
      // the state's lock.
      {"scripts/add-member.sh", FromScript("scripts/add-member.sh", R"(now \+ ([0-9]+) \* 86400)"),
       Unit::kDays},
      {"scripts/members-lib.sh", FromScript("scripts/members-lib.sh", R"(flock -w ([0-9]+))"),
       Unit::kSec},
  };
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  const size_t e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> Cells(const std::string& line) {
  std::vector<std::string> cells;
  std::stringstream in(line.substr(1));  // past the leading |
  for (std::string cell; std::getline(in, cell, '|');) cells.push_back(Trim(cell));
  return cells;
}

struct Row {
  std::vector<std::string> cells;
};

// The first table after the "## Limits" heading: its header and rows.
bool LimitsTable(const std::string& doc, std::vector<std::string>& header, std::vector<Row>& rows) {
  std::stringstream in(doc);
  std::string line;
  while (std::getline(in, line) && line != "## Limits") {
  }
  while (std::getline(in, line) && line.rfind("|", 0) != 0) {
    if (line.rfind("## ", 0) == 0) return false;
  }
  if (line.rfind("|", 0) != 0) return false;
  header = Cells(line);
  if (!std::getline(in, line) || line.rfind("|---", 0) != 0) return false;
  while (std::getline(in, line) && line.rfind("|", 0) == 0) rows.push_back({Cells(line)});
  return true;
}

// The names a constant cell gives, each in `backticks`; none for "—".
std::vector<std::string> Names(const std::string& cell) {
  std::vector<std::string> names;
  static const std::regex kName("`([^`]+)`");
  for (std::sregex_iterator it(cell.begin(), cell.end(), kName), end; it != end; ++it)
    names.push_back((*it)[1]);
  return names;
}

TEST(Limits, EveryDocumentedValueIsTheConstantItNames) {
  const std::string doc = ReadFile(PROTOCOL_FILE);
  std::vector<std::string> header;
  std::vector<Row> rows;
  ASSERT_TRUE(LimitsTable(doc, header, rows)) << "no table under \"## Limits\" in " << PROTOCOL_FILE;
  size_t limitCol = header.size(), valueCol = header.size(), constantCol = header.size();
  for (size_t i = 0; i < header.size(); ++i) {
    if (header[i] == "limit") limitCol = i;
    if (header[i] == "value") valueCol = i;
    if (header[i] == "constant") constantCol = i;
  }
  ASSERT_LT(limitCol, header.size());
  ASSERT_LT(valueCol, header.size());
  ASSERT_LT(constantCol, header.size());

  std::map<std::string, Limit> known;
  for (const Limit& c : Constants()) known.emplace(c.name, c);
  std::map<std::string, int> named;
  for (const Row& row : rows) {
    ASSERT_EQ(row.cells.size(), header.size()) << "a row with other columns: " << row.cells[0];
    const std::string& value = row.cells[valueCol];
    SCOPED_TRACE(row.cells[limitCol] + " | " + value);
    const std::vector<std::string> names = Names(row.cells[constantCol]);
    if (names.empty()) {
      EXPECT_EQ(row.cells[constantCol], "—") << "a row names its constants, or says — for none";
      continue;
    }
    // Each constant's value stands in the value cell, in the order named.
    size_t from = 0;
    for (const std::string& name : names) {
      ++named[name];
      const auto it = known.find(name);
      if (it == known.end()) {
        ADD_FAILURE() << "the table names " << name << ", which this test does not know";
        continue;
      }
      ASSERT_GE(it->second.value, 0) << name << ": the script no longer sets it as expected";
      size_t at = std::string::npos, end = 0;
      std::string tried;
      for (const std::string& word : Spellings(it->second.value, it->second.unit)) {
        const size_t found = FindNumber(value, word, from);
        if (found < at) {
          at = found;
          end = found + word.size();
        }
        tried += (tried.empty() ? "\"" : " or \"") + word + "\"";
      }
      EXPECT_TRUE(at != std::string::npos) << name << " is " << tried << " in the code";
      if (at != std::string::npos) from = end;
    }
  }
  for (const auto& [name, limit] : known)
    EXPECT_EQ(named[name], 1) << name << " should be named by exactly one row of the table";
}

// The matching itself: a value must stand as a whole number, in its unit.
TEST(Limits, ValuesMatchOnlyAsWholeNumbers) {
  struct Case {
    const char* cell;
    int64_t value;
    Unit unit;
    bool found;
  };
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
