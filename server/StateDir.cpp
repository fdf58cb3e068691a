// The membership state's files: their text, the lock, enrolment and lookups.
#include "server/StateDir.h"

#include <cerrno>
#include <cstring>
#include <map>

#include "platform/Files.h"
#include "protect/Frame.h"
#include "protect/SafeText.h"
#include "room/Console.h"

namespace saferoom {

namespace {

constexpr char kInvitationMagic[] = "saferoom invitation 1";
constexpr char kDeviceMagic[] = "saferoom device 1";

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::vector<uint8_t>& out) {
  out.clear();
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = hex[j];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      value = value * 16 + digit;
    }
    out.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// "magic\nkey value\n..." into fields; false when the first line is not
// `magic`, a line has no value, a key comes twice or the text does not end
// in a newline (a file cut short).
bool ReadFields(const std::string& text, const char* magic,
                std::map<std::string, std::string>& fields, std::string& why) {
  fields.clear();
  if (text.empty() || text.back() != '\n') {
    why = "it does not end with a whole line";
    return false;
  }
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      if (line != magic) {
        why = std::string("it does not begin with \"") + magic + "\"";
        return false;
      }
      first = false;
      continue;
    }
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space + 1 == line.size() ||
        !fields.emplace(line.substr(0, space), line.substr(space + 1)).second) {
      why = "a line is no \"key value\" pair, or a key comes twice";
      return false;
    }
  }
  return true;
}

bool ReadNumber(const std::map<std::string, std::string>& fields, const char* key, int64_t& value,
                std::string& why) {
  const auto found = fields.find(key);
  const std::string text = found == fields.end() ? "" : found->second;
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    why = std::string("no number for ") + key;
    return false;
  }
  value = std::stoll(text);
  return true;
}

// A name as the room takes it: at most kNameSize bytes, no NUL.
bool ReadName(const std::map<std::string, std::string>& fields, std::string& name,
              std::string& why) {
  const auto found = fields.find("name");
  if (found == fields.end() || found->second.size() > kNameSize ||
      found->second.find('\0') != std::string::npos) {
    why = "no name, or one the room cannot hold";
    return false;
  }
  name = found->second;
  return true;
}

std::string InvitesDir(const StateDir& state) {
  return state.path + "/invites";
}
std::string DevicesDir(const StateDir& state) {
  return state.path + "/devices";
}

void Report(StateDir& state, const std::string& file, const std::string& why) {
  if (state.console != nullptr) {
    state.console->Err("State file " + SafeText(file) + " skipped: " + why + "\n");
  }
}

// Reads and parses one file; a corrupt one is reported. `missing` tells
// whether it was simply not there.
template <typename Record, typename Parse>
bool ReadRecord(StateDir& state, const std::string& path, Record& record, Parse parse,
                bool& missing) {
  std::string text, why;
  missing = false;
  if (!ReadSmallFile(path, kMaxStateFileBytes, text)) {
    missing = errno == ENOENT;
    if (!missing)
      Report(state, path, errno == EFBIG ? "longer than 4096 bytes" : std::strerror(errno));
    return false;
  }
  if (parse(text, record, why)) return true;
  Report(state, path, why);
  return false;
}

bool ReadDevice(StateDir& state, const std::string& keyId, Device& device, bool& missing) {
  return ReadRecord(state, DevicesDir(state) + "/" + keyId, device, ParseDevice, missing);
}

bool Lock(StateDir& state, UniqueFd& held) {
  if (LockFile(state.path + "/lock", Deadline::In(kStateLockWaitMs), held)) return true;
  if (state.console != nullptr) {
    state.console->Err("State " + SafeText(state.path) + "/lock: " + std::strerror(errno) + "\n");
  }
  return false;
}

// The sweep of OpenStateDir over one of the two directories.
void Sweep(StateDir& state, const std::string& dir, bool devices,
           std::vector<std::string>& usedInvites) {
  std::vector<std::string> names;
  if (!ListDirectory(dir, names)) return;
  for (const std::string& name : names) {
    if (name.rfind(".tmp-", 0) == 0) {
      RemoveFileDurably(dir, name);  // a write a crash cut short; never renamed into place
      continue;
    }
    if (!IsStateId(name)) {
      Report(state, dir + "/" + name, "not a state file (its name is no key id)");
      continue;
    }
    bool missing = false;
    if (devices) {
      Device device;
      if (ReadDevice(state, name, device, missing) && !device.invite.empty()) {
        usedInvites.push_back(device.invite);
      }
    } else {
      Invitation invitation;
      ReadRecord(state, dir + "/" + name, invitation, ParseInvitation, missing);
    }
  }
}

}  // namespace

std::string FormatInvitation(const Invitation& invitation) {
  return std::string(kInvitationMagic) + "\nname " + invitation.name + "\ncreated " +
         std::to_string(invitation.created) + "\nexpires " + std::to_string(invitation.expires) +
         "\n";
}

bool ParseInvitation(const std::string& text, Invitation& invitation, std::string& why) {
  std::map<std::string, std::string> fields;
  return ReadFields(text, kInvitationMagic, fields, why) &&
         ReadName(fields, invitation.name, why) &&
         ReadNumber(fields, "created", invitation.created, why) &&
         ReadNumber(fields, "expires", invitation.expires, why);
}

std::string FormatDevice(const Device& device) {
  std::string text = std::string(kDeviceMagic) + "\nname " + device.name + "\nkey " +
                     Hex(device.publicKey) + "\nenrolled " + std::to_string(device.enrolled) +
                     "\nseen " + std::to_string(device.seen) + "\n";
  if (!device.invite.empty()) text += "invite " + device.invite + "\n";
  return text;
}

bool ParseDevice(const std::string& text, Device& device, std::string& why) {
  std::map<std::string, std::string> fields;
  if (!ReadFields(text, kDeviceMagic, fields, why) || !ReadName(fields, device.name, why) ||
      !ReadNumber(fields, "enrolled", device.enrolled, why) ||
      !ReadNumber(fields, "seen", device.seen, why)) {
    return false;
  }
  const auto key = fields.find("key");
  if (key == fields.end() || !FromHex(key->second, device.publicKey) ||
      device.publicKey.size() != kDevicePublicKeySize || device.publicKey[0] != 0x04) {
    why = "no public key, or not an uncompressed P-256 point";
    return false;
  }
  const auto invite = fields.find("invite");
  device.invite = invite == fields.end() ? "" : invite->second;
  if (!device.invite.empty() && !IsStateId(device.invite)) {
    why = "its invitation is no hash";
    return false;
  }
  return true;
}

bool IsStateId(const std::string& name) {
  return name.size() == 64 && name.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool OpenStateDir(StateDir& state, Console& console, std::string& why) {
  state.console = &console;
  for (const std::string& dir : {state.path, InvitesDir(state), DevicesDir(state)}) {
    if (!MakeDirectory(dir, 0700)) {
      why = dir + ": " + std::strerror(errno);
      return false;
    }
  }
  UniqueFd held;
  if (!LockFile(state.path + "/lock", Deadline::In(kStateLockWaitMs), held)) {
    why = state.path + "/lock: " + std::strerror(errno);
    return false;
  }
  std::vector<std::string> usedInvites;
  Sweep(state, DevicesDir(state), true, usedInvites);
  Sweep(state, InvitesDir(state), false, usedInvites);
  for (const std::string& hash : usedInvites)
    RemoveFileDurably(InvitesDir(state), hash);
  return true;
}

EnrolOutcome EnrolDevice(StateDir& state, const std::string& inviteHash, const std::string& keyId,
                         Device& device, int64_t now) {
  UniqueFd held;
  if (!Lock(state, held)) return EnrolOutcome::kUnavailable;
  Invitation invitation;
  bool missing = false;
  if (!ReadRecord(state, InvitesDir(state) + "/" + inviteHash, invitation, ParseInvitation,
                  missing) ||
      now >= invitation.expires) {
    return EnrolOutcome::kInvitationUnknown;
  }
  Device existing;
  if (ReadDevice(state, keyId, existing, missing)) {
    if (existing.name != invitation.name) return EnrolOutcome::kKeyTaken;
  } else if (!missing) {
    return EnrolOutcome::kUnavailable;  // a file is there that cannot be read: keep it
  }
  device.name = invitation.name;
  device.enrolled = device.seen = now;
  device.invite = inviteHash;
  if (!WriteFileAtomic(DevicesDir(state), keyId, FormatDevice(device))) {
    Report(state, DevicesDir(state) + "/" + keyId,
           std::string("not written: ") + std::strerror(errno));
    return EnrolOutcome::kUnavailable;
  }
  // Removed after the device is in place: a crash between the two leaves an
  // invitation that the next start sees used, never a lost enrolment.
  if (!RemoveFileDurably(InvitesDir(state), inviteHash)) {
    Report(state, InvitesDir(state) + "/" + inviteHash,
           std::string("not removed: ") + std::strerror(errno));
  }
  return EnrolOutcome::kEnrolled;
}

bool FindDevice(StateDir& state, const std::string& keyId, Device& device) {
  bool missing = false;
  return IsStateId(keyId) && ReadDevice(state, keyId, device, missing);
}

void NoteDeviceSeen(StateDir& state, const std::string& keyId, int64_t now) {
  UniqueFd held;
  if (!Lock(state, held)) return;
  Device device;
  bool missing = false;
  if (!ReadDevice(state, keyId, device, missing)) return;  // removed meanwhile: stays removed
  device.seen = now;
  if (!WriteFileAtomic(DevicesDir(state), keyId, FormatDevice(device))) {
    Report(state, DevicesDir(state) + "/" + keyId,
           std::string("not written: ") + std::strerror(errno));
  }
}

bool DeviceStillEnrolled(StateDir& state, const std::string& keyId, const std::string& name) {
  Device device;
  return FindDevice(state, keyId, device) && device.name == name;
}

}  // namespace saferoom
