// The story format the stack driver plays: the simulator's scenario lines,
// read by a small freestanding parser. Words are separated by blanks, double
// quotes group (\" and \\ inside), '#' starts a comment, KEY=VALUE words are
// options. Only the commands the stack driver knows are accepted; the rest of
// a line's meaning is the simulator's.
#pragma once
#include "platform/nt.h"

namespace zkt {

constexpr ULONG kMaxWords = 16;
constexpr ULONG kMaxWordLength = 1536;

struct Step {
    ULONG line;
    ULONG wordCount;
    CHAR words[kMaxWords][kMaxWordLength];  // words[0] is the command
    ULONG argCount;                         // positional words after the command
    const CHAR* args[kMaxWords];
    ULONG optionCount;
    const CHAR* keys[kMaxWords];  // "key" of key=value, NUL-terminated in place
    const CHAR* values[kMaxWords];
};

// The next step of the text at *cursor (NUL-terminated); FALSE at the end.
// A line the parser cannot split sets *error.
BOOLEAN NextStep(const CHAR** cursor, ULONG* line, Step* step, const CHAR** error);

const CHAR* Option(const Step& step, const CHAR* key);  // NULL when absent
BOOLEAN Number(const CHAR* text, ULONG64* value);
// Hex pairs (blanks and commas between them ignored) or text:ABC; returns the
// byte count, or -1 when the text is not bytes or does not fit.
LONG Bytes(const CHAR* text, UCHAR* out, ULONG capacity);
BOOLEAN Same(const CHAR* a, const CHAR* b);

}  // namespace zkt
