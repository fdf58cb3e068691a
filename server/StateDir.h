// The server's membership state on disk (--state DIR): one small file per
// pending invitation and per enrolled device, never a message. Used by the
// device exchange (server/DeviceAuth) and the reload; the member scripts
// write the same files.
//
// Layout: DIR/invites/HASH (HASH: the hex SHA-256 of the invitation token,
// so the token itself is never on disk), DIR/devices/KEYID (the hex SHA-256
// of the device's public key), DIR/lock. Every change, here and in the
// scripts, is made while holding the flock on DIR/lock, and every file is
// written whole by rename (platform/Files.h): a reader without the lock
// sees an old file or a new one, and two writers cannot lose an update.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace saferoom {

class Console;

// A state file longer than this is not read: the files are under 300 bytes.
constexpr size_t kMaxStateFileBytes = 4096;
// A change waits at most this long for the lock (a script holds it for
// moments); after that the client is told to try again.
constexpr int kStateLockWaitMs = 2000;

struct Invitation {
  std::string name;     // the member it is for (the name the room binds)
  int64_t created = 0;  // Unix seconds
  int64_t expires = 0;  // Unix seconds: not accepted from then on
};

struct Device {
  std::string name;                // the member it belongs to
  std::vector<uint8_t> publicKey;  // kDevicePublicKeySize bytes
  int64_t enrolled = 0;            // Unix seconds
  int64_t seen = 0;                // Unix seconds: its last proof
  std::string invite;              // the hash of the invitation it used
};

// The text of each file, and back. A parse failure says why in `why`.
std::string FormatInvitation(const Invitation& invitation);
bool ParseInvitation(const std::string& text, Invitation& invitation, std::string& why);
std::string FormatDevice(const Device& device);
bool ParseDevice(const std::string& text, Device& device, std::string& why);

// True for a file name the state uses: 64 lowercase hex digits.
bool IsStateId(const std::string& name);

enum class EnrolOutcome { kEnrolled, kInvitationUnknown, kKeyTaken, kUnavailable };

struct StateDir {
  std::string path;            // set before OpenStateDir
  Console* console = nullptr;  // set by OpenStateDir; outlives the state
};

// Makes DIR, DIR/invites and DIR/devices (mode 0700) when missing, then
// sweeps them once: temporary files a crash left are removed, invitations
// that a device already used (a crash between the two steps of an
// enrolment) are removed, and a file that is no state file, or does not
// parse, gets a line on standard error and is left alone. False, with `why`,
// when DIR cannot be used.
bool OpenStateDir(StateDir& state, Console& console, std::string& why);

// Enrols `device` (its name is filled in from the invitation) with the
// invitation whose token hashes to `inviteHash`, at `now` (Unix seconds):
// under the lock, the device file is written first, then the invitation
// removed, so a crash between them leaves a device that works and an
// invitation that the next start removes. kInvitationUnknown for one that
// is missing, expired or corrupt; kKeyTaken when the key is another
// member's; kUnavailable when the state could not be read or written.
EnrolOutcome EnrolDevice(StateDir& state, const std::string& inviteHash, const std::string& keyId,
                         Device& device, int64_t now);

// Reads the device `keyId`. False when there is none (or it is corrupt,
// which is also reported).
bool FindDevice(StateDir& state, const std::string& keyId, Device& device);

// Notes `now` as the device's last proof, unless the device was removed
// meanwhile (a removal is never undone by this). Best effort: a failure is
// reported and changes nothing else.
void NoteDeviceSeen(StateDir& state, const std::string& keyId, int64_t now);

// True while DIR/devices/KEYID names `name`: the reload's test for a
// connection made with that device.
bool DeviceStillEnrolled(StateDir& state, const std::string& keyId, const std::string& name);

}  // namespace saferoom
