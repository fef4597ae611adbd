// SPDX-License-Identifier: Apache-2.0
// Faults that can be switched on in the simulated cash changer, one answer at
// a time, to see how the host copes with a misbehaving device.
#pragma once

#include <cstdint>

namespace vexokrt::sim {

enum class FaultKind {
  kAnswerNak,       // the command is not carried out; NAK is answered instead
  kAnswerCan,       // ... CAN instead
  kAnswerEm,        // ... EM instead
  kAnswerBel,       // ... BEL instead
  kAnswerSub,       // carried out, but the answer is held back for |ms|: the device
                    // stays silent and answers SUB to every ENQ until then
  kCorruptBcc,      // the next data-frame answer carries a wrong BCC
  kWrongFirstByte,  // the next answer starts with 0x09 instead of its first byte
  kTruncatedFrame,  // the next data-frame answer loses its ETX and BCC
  kOverlongFrame,   // the next data-frame answer has four stray bytes after its BCC
  kDelay,           // the next answer goes out |ms| later than it would
  kDrop,            // the next answer is not sent at all
};

// The value of Fault::command that aims a fault at the answer to an ENQ.
inline constexpr char kEnquiryTarget = 0x05;

struct Fault {
  FaultKind kind = FaultKind::kAnswerNak;
  int times = 1;      // how many answers the fault hits before it is used up
  char command = 0;   // only answers to this command letter (the byte after
                      // DC1), kEnquiryTarget for ENQ; 0 = the answer to any
                      // command frame (not ENQ answers, not bytes sent unasked)
  int ms = 0;         // kAnswerSub and kDelay: how long
};

}  // namespace vexokrt::sim
