// Platform layer: one looping sound buffer that plays continuously, written
// ahead of its play cursor by the caller. The caller locks a span (one region,
// or two when it wraps past the end), fills it, unlocks it, and reads the play
// and write cursors (byte offsets) to know where the device is. Results are 0
// or negative (a negative errno, or a capture-family code), with the system
// text from ZCaptureErrorText.
//
// ALSA output: a pump thread hands the ring to the device ("default" through
// plug unless a test chose another) from its hand-off position in chunks of
// about 10 ms, with about 40 ms in the device; the play cursor is the hand-off
// less the device's delay, the write cursor one chunk past the hand-off.
// Devices that take every write at once (null, file) are paced by the
// monotonic clock: the pump never runs more than the device buffer ahead of
// it. Where no PCM opens, and for tests that ask for it, a null backend moves
// the play cursor by the clock alone.
//
// Threading: a buffer is used by one owner at a time (its thread and the
// feeder it starts); a lock holds the ring's own mutex until the unlock, so
// the pump never reads a span while it is being written. No other lock is
// held across an ALSA call.
#pragma once

#include <cstdint>
#include <string>

struct ZSoundBufferRecord;
typedef ZSoundBufferRecord* ZSoundBuffer;

// A buffer of `bytes` bytes of PCM (16-bit little-endian or 8-bit unsigned,
// interleaved); 0 and the handle, or a negative result and null.
int ZSoundBufferOpen(ZSoundBuffer* buffer, std::uint32_t samplesPerSecond, std::uint16_t bitsPerSample,
                     std::uint16_t channels, std::uint32_t bytes);
void ZSoundBufferClose(ZSoundBuffer buffer);
// entire: the whole buffer as one region (offset and bytes ignored).
int ZSoundBufferLock(ZSoundBuffer buffer, std::uint32_t offset, std::uint32_t bytes, void** front,
                     std::uint32_t* frontBytes, void** back, std::uint32_t* backBytes, bool entire);
int ZSoundBufferUnlock(ZSoundBuffer buffer, void* front, std::uint32_t frontBytes, void* back,
                       std::uint32_t backBytes);
int ZSoundBufferPlay(ZSoundBuffer buffer);
int ZSoundBufferStop(ZSoundBuffer buffer);
int ZSoundBufferGetCurrentPosition(ZSoundBuffer buffer, std::uint32_t* play, std::uint32_t* write);

// ---- inside the layer (and its tests) ------------------------------------------

// The device and the ALSA configuration text (empty for the system's) new
// buffers play into; the device "" selects the null backend.
void _ZSoundBufferSetDevice(const std::string& device, const std::string& configText);
// The clock of the null backend's cursors (microseconds); null for the
// monotonic clock. A failing open of the null backend, for tests of the
// caller's failure path: the result every later open returns (0: none).
void _ZSoundBufferSetClock(std::int64_t (*clock)());
void _ZSoundBufferFailOpen(int result);
// Where the null backend's cursors come from instead of its clock: a
// function that fills both, or fails with a negative result and leaves
// them as they were; null for the clock. Taken by buffers opened later.
void _ZSoundBufferSetPositionSource(int (*source)(std::uint32_t* play, std::uint32_t* write));
// The monotonic time (microseconds) at which the latest buffer of the
// process began to play; 0 before any.
std::int64_t _ZSoundBufferLastPlayStart();
