#include "tests/wine/driver/story.h"

namespace zkt {
namespace {

BOOLEAN Blank(CHAR c) { return c == ' ' || c == '\t' || c == '\r'; }

LONG HexDigit(CHAR c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits step->words[] into positional words and options, in place.
VOID Classify(Step* step, ULONG quotedMask) {
    step->argCount = 0;
    step->optionCount = 0;
    for (ULONG i = 1; i < step->wordCount; ++i) {
        CHAR* word = step->words[i];
        CHAR* eq = NULL;
        if (!(quotedMask & (1u << i))) {
            for (CHAR* p = word; *p != '\0'; ++p) {
                if (*p == '=') {
                    eq = p;
                    break;
                }
                BOOLEAN keyChar =
                    (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || *p == '-';
                if (!keyChar) break;
            }
        }
        if (eq != NULL && eq != word) {
            *eq = '\0';
            step->keys[step->optionCount] = word;
            step->values[step->optionCount] = eq + 1;
            ++step->optionCount;
        } else {
            step->args[step->argCount++] = word;
        }
    }
}

}  // namespace

BOOLEAN Same(const CHAR* a, const CHAR* b) { return a != NULL && b != NULL && strcmp(a, b) == 0; }

BOOLEAN NextStep(const CHAR** cursor, ULONG* line, Step* step, const CHAR** error) {
    *error = NULL;
    while (**cursor != '\0') {
        const CHAR* p = *cursor;
        ++*line;
        step->line = *line;
        step->wordCount = 0;
        ULONG quotedMask = 0;
        while (*p != '\0' && *p != '\n') {
            while (Blank(*p))
                ++p;
            if (*p == '\0' || *p == '\n' || *p == '#') break;
            if (step->wordCount == kMaxWords) {
                *error = "too many words on the line";
                return FALSE;
            }
            CHAR* word = step->words[step->wordCount];
            ULONG length = 0;
            BOOLEAN quoted = FALSE;
            if (*p == '"') quotedMask |= 1u << step->wordCount;
            while (*p != '\0' && *p != '\n' && (quoted || !Blank(*p))) {
                CHAR c = *p;
                if (c == '"') {
                    quoted = !quoted;
                    ++p;
                    continue;
                }
                if (quoted && c == '\\' && (p[1] == '"' || p[1] == '\\')) {
                    c = p[1];
                    ++p;
                }
                if (length + 1 >= kMaxWordLength) {
                    *error = "a word is too long";
                    return FALSE;
                }
                word[length++] = c;
                ++p;
            }
            if (quoted) {
                *error = "unterminated quoted text";
                return FALSE;
            }
            word[length] = '\0';
            ++step->wordCount;
        }
        while (*p != '\0' && *p != '\n')
            ++p;
        if (*p == '\n') ++p;
        *cursor = p;
        if (step->wordCount != 0) {
            Classify(step, quotedMask);
            return TRUE;
        }
    }
    return FALSE;
}

const CHAR* Option(const Step& step, const CHAR* key) {
    for (ULONG i = 0; i < step.optionCount; ++i)
        if (strcmp(step.keys[i], key) == 0) return step.values[i];
    return NULL;
}

BOOLEAN Number(const CHAR* text, ULONG64* value) {
    if (text == NULL || *text == '\0') return FALSE;
    ULONG64 result = 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text += 2;
        if (*text == '\0') return FALSE;
        for (; *text != '\0'; ++text) {
            LONG digit = HexDigit(*text);
            if (digit < 0) return FALSE;
            result = result * 16 + (ULONG64)digit;
        }
    } else {
        for (; *text != '\0'; ++text) {
            if (*text < '0' || *text > '9') return FALSE;
            result = result * 10 + (ULONG64)(*text - '0');
        }
    }
    *value = result;
    return TRUE;
}

LONG Bytes(const CHAR* text, UCHAR* out, ULONG capacity) {
    ULONG count = 0;
    if (text[0] == 't' && text[1] == 'e' && text[2] == 'x' && text[3] == 't' && text[4] == ':') {
        for (text += 5; *text != '\0'; ++text) {
            if (count == capacity) return -1;
            out[count++] = (UCHAR)*text;
        }
        return (LONG)count;
    }
    LONG high = -1;
    for (; *text != '\0'; ++text) {
        if (*text == ' ' || *text == ',' || *text == '\t') continue;
        LONG digit = HexDigit(*text);
        if (digit < 0) return -1;
        if (high < 0) {
            high = digit;
            continue;
        }
        if (count == capacity) return -1;
        out[count++] = (UCHAR)(high * 16 + digit);
        high = -1;
    }
    return high < 0 ? (LONG)count : -1;
}

}  // namespace zkt
