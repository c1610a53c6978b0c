// Golden transcripts: what a scenario did, as text, compared with a file
// that was recorded once and is read by people.
//
// A transcript has sections in a fixed order:
//   ## calls      every API call of the scenario with its arguments, result
//                 code and out values (in the scenario's own order);
//   ## callbacks  every call of the event callback with its arguments, and
//                 the item it fetched, every field (in the engine thread's
//                 order);
//   ## vci        every frame the VCI received, decoded;
//   ## main log / ## data log / ## contact log   the three log files.
//
// Values that depend on the wall clock or on the address space are
// normalised so that a transcript is the same on every run:
//   - a tick value (item timestamps, PDUGetTimestamp, numbers in log lines)
//     that lies inside the scenario's tick window is written "<t>"; a value
//     outside it (0, a stale or made-up value) stays as it is, so a wrong
//     timestamp still shows;
//   - function addresses in log lines are written "<fn>", other numbers of
//     nine digits or more (pointers, thread ids) "<addr>", the VCI's
//     device path "<port>".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pdu::golden {

// The text's lines (without their "\n").
std::vector<std::string> SplitLines(const std::string& text);

// A unified diff of expected against actual: one hunk from the first
// differing line to the last, with three lines of context, cut after
// maxLines (a re-record's git diff shows the rest). Empty when equal.
std::string UnifiedDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual,
                        const std::string& expectedName, const std::string& actualName, size_t maxLines = 200);

// Replaces every decimal number of line that lies in [lo, hi] by "<t>"
// (numbers glued to letters, such as "0x7E8" or "P2", stay).
std::string NormaliseTicks(const std::string& line, uint32_t lo, uint32_t hi);

// Replaces every decimal number of line of nine digits or more (with its
// minus sign) by "<addr>": pointers and thread ids that the log prints as
// numbers. Ticks are taken out before (NormaliseTicks).
std::string NormaliseAddresses(const std::string& line);

// The shared prologue. Most scenarios start the same way (construction,
// module connect, a link created and connected) and end much the same way
// (disconnect, destroy, destruct); those lines are recorded once, in
// tests/golden/prologue.txt, and a scenario's file holds only its own.
// Per section ("## calls", "## vci", ...), each run of two or more lines
// that the prologue's section also has becomes one marker line
//   @@ prologue 12-40       lines 12 to 40 of that section of the prologue
// CompactTranscript makes the markers (when recording); ExpandTranscript
// puts the lines back (before comparing), so a mismatch is still shown as a
// unified diff of whole transcripts.
std::vector<std::string> CompactTranscript(const std::vector<std::string>& full,
                                           const std::vector<std::string>& prologue);
std::vector<std::string> ExpandTranscript(const std::vector<std::string>& compact,
                                          const std::vector<std::string>& prologue);

// "01 AB 00".
std::string Hex(const uint8_t* data, size_t count);

}  // namespace pdu::golden
