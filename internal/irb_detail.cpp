#include "internal/irb_detail.h"

#include "platform/nt.h"
#include "trace/print.h"

namespace {

constexpr PCSTR ZK_LOCK_TRANSACTIONS[] = {
    NULL,
    "LOCK_TRANSACTION_MASK_SWAP",
    "LOCK_TRANSACTION_COMPARE_SWAP",
    "LOCK_TRANSACTION_FETCH_ADD",
    "LOCK_TRANSACTION_LITTLE_ADD",
    "LOCK_TRANSACTION_BOUNDED_ADD",
    "LOCK_TRANSACTION_WRAP_ADD",
};

USHORT NodeId(const NODE_ADDRESS* Node)
{
    USHORT value;
    __builtin_memcpy(&value, Node, sizeof(value));
    return value;
}

}  // namespace

// The generation is what a request fails with STATUS_INVALID_GENERATION
// for: the bus has been reset since the sender learned it.
VOID ZK_TraceIrbDetail(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb)
{
    if (Irb->FunctionNumber == REQUEST_ASYNC_READ || Irb->FunctionNumber == REQUEST_ASYNC_WRITE) {
        // The two layouts agree up to the elapsed time.
        static_assert(__builtin_offsetof(IRB, u.AsyncRead.ulGeneration) ==
                          __builtin_offsetof(IRB, u.AsyncWrite.ulGeneration) &&
                      __builtin_offsetof(IRB, u.AsyncRead.tCode) == __builtin_offsetof(IRB, u.AsyncWrite.tCode));
        const IRB_REQ_ASYNC_READ* async = &Irb->u.AsyncRead;
        ZK_PrintLine(Extension,
                     "Irp: 0x%X - IOCTL_1394_CLASS - %s - Generation: 0x%X, Speed: 0x%X, Priority: 0x%X, tCode: "
                     "0x%X.\n",
                     ZK_Low32(Irp),
                     Irb->FunctionNumber == REQUEST_ASYNC_READ ? "REQUEST_ASYNC_READ" : "REQUEST_ASYNC_WRITE",
                     async->ulGeneration, (ULONG)async->nSpeed, (ULONG)async->chPriority, (ULONG)async->tCode);
    } else if (Irb->FunctionNumber == REQUEST_ASYNC_LOCK) {
        const IRB_REQ_ASYNC_LOCK* lock = &Irb->u.AsyncLock;
        CHAR type[16];
        PCSTR name = type;
        if (lock->fulTransactionType < sizeof(ZK_LOCK_TRANSACTIONS) / sizeof(ZK_LOCK_TRANSACTIONS[0]) &&
            ZK_LOCK_TRANSACTIONS[lock->fulTransactionType] != NULL)
            name = ZK_LOCK_TRANSACTIONS[lock->fulTransactionType];
        else
            sprintf(type, "0x%X", lock->fulTransactionType);
        ZK_PrintLine(Extension,
                     "Irp: 0x%X - IOCTL_1394_CLASS - REQUEST_ASYNC_LOCK - ID: 0x%hX, Offset: 0x%hX 0x%X, "
                     "TransactionType: %s, ArgBytes: 0x%X, DataBytes: 0x%X, Arguments: 0x%08X 0x%08X, DataValues: "
                     "0x%08X 0x%08X, Buffer: 0x%X, Flags: 0x%X, Generation: 0x%X.\n",
                     ZK_Low32(Irp), NodeId(&lock->DestinationAddress.IA_Destination_ID),
                     lock->DestinationAddress.IA_Destination_Offset.Off_High,
                     lock->DestinationAddress.IA_Destination_Offset.Off_Low, name, lock->nNumberOfArgBytes,
                     lock->nNumberOfDataBytes, lock->Arguments[0], lock->Arguments[1], lock->DataValues[0],
                     lock->DataValues[1], ZK_Low32(lock->pBuffer), lock->fulFlags, lock->ulGeneration);
    }
}
