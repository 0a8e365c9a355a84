// What the driver formats, caught at the kernel's _vsnprintf while a case
// runs once, so that the lines a request prints can be formatted again
// alone with the very format and arguments the driver gave.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zkbench {

struct FormatCall {
    std::string format;
    // One 64-bit slot per argument, as x86-64 passes them; the texts of %s
    // are copied into `texts` and their slots point there once replayed.
    std::vector<uint64_t> slots;
    std::vector<int> textSlot;  // index into texts, or -1
    std::vector<std::string> texts;
    std::string output;
    // False when the format has a conversion the replay cannot rebuild
    // (wide text, %n): such a line is replayed from its text.
    bool replayable = true;
};

// Between the two calls, every _vsnprintf call made in the process is kept.
void StartCapture();
std::vector<FormatCall> StopCapture();

// Formats the call again into a message buffer through ZKB_FormatLine.
void Replay(const FormatCall& call);

}  // namespace zkbench
