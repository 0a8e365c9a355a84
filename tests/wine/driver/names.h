// The names a story gives codes, flags and device types by: the
// simulator's scenario names.
#pragma once
#include "platform/nt.h"

namespace zkt {

struct NamedCode {
    const CHAR* name;
    ULONG value;
};

extern const NamedCode kMajors[];
extern const ULONG kMajorsCount;
extern const NamedCode kPnpMinors[];
extern const ULONG kPnpMinorsCount;
extern const NamedCode kPowerMinors[];
extern const ULONG kPowerMinorsCount;
extern const NamedCode kWmiMinors[];
extern const ULONG kWmiMinorsCount;
extern const NamedCode kTypes[];
extern const ULONG kTypesCount;
extern const NamedCode kFlags[];
extern const ULONG kFlagsCount;
extern const NamedCode kSrbFlags[];
extern const ULONG kSrbFlagsCount;
extern const NamedCode kControlCodes[];
extern const ULONG kControlCodesCount;
extern const NamedCode kInternalCodes[];
extern const ULONG kInternalCodesCount;

// A name from the table, or a number up to limit.
BOOLEAN LookupIn(const NamedCode* table, ULONG count, const CHAR* word, ULONG limit, ULONG* value);

#define ZKT_LOOKUP(table, word, limit, value) ::zkt::LookupIn(table, table##Count, word, limit, value)

}  // namespace zkt
