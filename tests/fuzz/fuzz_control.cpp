// The control device's private request from a program: any record, any data
// address (in the request, in the program's memory, freed under the probe,
// in kernel space, anywhere), any lengths, from an administrator or a
// standard user. Besides the common end checks, no subject context may stay
// captured.
#include "tests/fuzz/fuzz_stack.h"

#include "ioctl/request.h"
#include "simkernel/caller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    {
        fuzz::Stack stack(input);
        const sim::Account account = input.PickValueInArray<sim::Account>(
            {sim::Account::Administrator, sim::Account::StandardUser, sim::Account::System});
        sim::ActingAs actingAs(account);
        sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor1", UserMode);
        if (opened.handle == nullptr)
            fuzz::Stack::Finding("the control device does not open");

        uint8_t* area = sim::LowUserArea(4096);
        std::vector<uint8_t> record(12, 0);
        const uint32_t magic = input.ConsumeIntegralInRange<int>(0, 15) ? 0x5A654C6B : input.ConsumeIntegral<uint32_t>();
        const uint32_t operation = input.ConsumeIntegralInRange<uint32_t>(0, 5);
        uint32_t address = 0;
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: break;  // the data follows the record
        case 1: address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area) +
                                                input.ConsumeIntegralInRange<uint32_t>(0, 4096)); break;
        case 2: address = 0x80001000u + input.ConsumeIntegralInRange<uint32_t>(0, 0x1000); break;  // kernel, sign-extended
        case 3: address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area));
                sim::FreeLowUserAreaAfterProbe(area); area = nullptr; break;
        default: address = input.ConsumeIntegral<uint32_t>(); break;
        }
        std::memcpy(&record[0], &magic, 4);
        std::memcpy(&record[4], &operation, 4);
        std::memcpy(&record[8], &address, 4);
        std::vector<uint8_t> tail = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
        record.insert(record.end(), tail.begin(), tail.end());
        if (input.ConsumeBool() && area != nullptr) {
            std::vector<uint8_t> content = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
            if (!content.empty())
                std::memcpy(area, content.data(), content.size());
        }
        const size_t cut = input.ConsumeIntegralInRange<size_t>(0, record.size());
        record.resize(input.ConsumeBool() ? record.size() : cut);
        std::vector<uint8_t> output(input.ConsumeIntegralInRange<size_t>(0, 1024));
        sim::DeviceIoControl(opened.handle, ZK_REQUEST_CODE, record, output);
        sim::CloseFile(opened.handle);
        if (area != nullptr)
            sim::FreeLowUserArea(area);
        if (sim::OpenSubjectContexts() != 0)
            fuzz::Stack::Finding("a subject context was left captured");
    }
    return 0;
}
