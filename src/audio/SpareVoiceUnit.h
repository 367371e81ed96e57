#pragma once

// A voice-processing capture prepared ahead of the next dictation. The preparation is switched off
// (it costs a running processor between dictations for little gain), so prepare() does nothing and
// a start never finds a spare; the calls stay where a spare would be made or dropped.
namespace SpareVoiceUnit {

inline constexpr bool enabled = false;

inline void prepare() {}
inline void discard() {}

} // namespace SpareVoiceUnit
