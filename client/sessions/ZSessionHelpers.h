// What the buddy-list service and its sessions share: the checks every peer
// identifier passes before it names a session, a store variable or a queue,
// the limits on how much a peer can make us hold, the process's random
// source, and the copy of a stored buddy picture.
//
// Stateless apart from the random source, which is seeded once per process
// and may be drawn from any thread.
#pragma once

#include <cstdint>
#include <string>

class ZInstance;

// Most buddy sessions the service keeps, and device sessions per buddy.
constexpr int ZSIP_MAX_BUDDIES = 256;
constexpr int ZSIP_MAX_DEVICES = 16;
// Longest user identifier ("name@domain") and device identifier.
constexpr std::size_t ZSIP_MAX_USER_GUID = 128;
constexpr std::size_t ZSIP_MAX_DEVICE_GUID = 64;
// Largest time-zone bias a peer may report, in minutes.
constexpr std::int64_t ZSIP_MAX_TIME_BIAS = 1440;

// A user identifier in canonical form: lower-case letters, digits, '.', '_'
// and '-', exactly one '@' with something on both sides, at most 128 units.
// Such a name can be neither a service's queue nor break a command string.
bool ZSIPIsUserGUID(const std::wstring& text);
// A device identifier: 1 to 64 of lower-case letters, digits, '.', '_', '-'.
bool ZSIPIsDeviceGUID(const std::wstring& text);
// Splits "<user>@<domain>@<device>" at its last '@'; false when either part
// is not a valid identifier.
bool ZSIPSplitBuddyDeviceGUID(const std::wstring& text, std::wstring& buddy, std::wstring& device);

// A peer's text made fit for one log line: control characters become '?',
// and at most 80 units are kept.
std::wstring ZSIPPrintable(const std::wstring& text);

// Seeds the runtime's generator from the system's entropy, once per process:
// two clients started alike must not draw the same back-offs.
void ZSIPSeedRandom();
// The product of two draws from 0 to 32767 of the seeded generator.
std::int32_t ZSIPRandomProduct();

// Copies a stored picture to a buddy's variable; a missing source only warns.
void ZSIPCopyPicture(ZInstance* instance, const std::wstring& destination, const std::wstring& source);
