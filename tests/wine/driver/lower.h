// The lower devices: the PDOs of the stacks the stack driver builds, which
// answer what reaches the bottom of each stack as the story says.
#pragma once
#include "platform/nt.h"

namespace zkt {

constexpr ULONG kTag = 0x74736B7A;  // 'zkst'
constexpr ULONG kMaxRules = 16;
constexpr ULONG kMaxPended = 8;
constexpr ULONG kBlockSize = 512;
constexpr ULONG kBlocks = 2048;
constexpr UCHAR kSenseLength = 18;
constexpr ULONG kMaxReplyData = 256;

enum class Action { Complete, Unchanged, Pend };

struct Reply {
    Action action;
    NTSTATUS status;
    ULONG_PTR information;
    // The answer's bytes (data=): written at the start of a buffered
    // device-control request's system buffer, no more than its output length.
    ULONG dataLength;
    UCHAR data[kMaxReplyData];
};

// An answer without data.
inline Reply Answer(Action action, NTSTATUS status, ULONG_PTR information) {
    return Reply{action, status, information, 0, {}};
}

struct Bus1394;

struct Rule {
    UCHAR major;
    SHORT minor;  // -1: any
    Reply reply;
};

// The lower device of one stack, standing for the bus's PDO. A SCSI disk
// (model=disk) answers SRBs as the simulator's disk does, for the commands
// the stories use: TEST UNIT READY and READ(10) of its blocks.
struct Lower {
    CHAR name[64];
    PDEVICE_OBJECT pdo;
    BOOLEAN disk;
    Rule rules[kMaxRules];
    ULONG ruleCount;
    PIRP pended[kMaxPended];
    Reply pendedReply[kMaxPended];
    ULONG pendedCount;
    BOOLEAN frozen;
    BOOLEAN failNext;
    UCHAR key, asc, ascq;
    Bus1394* bus1394;  // a 1394 bus behind the device (ieee1394.cpp), or NULL
};

// The dispatch routine of every lower device.
NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp);
// The bus's worker: completes what the lower device pended, once the sender
// has seen STATUS_PENDING.
VOID CompletePended(Lower* lower);

}  // namespace zkt
