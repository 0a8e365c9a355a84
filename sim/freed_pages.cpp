#include "sim/freed_pages.h"

#include <algorithm>
#include <cstring>

#include "sim/scenario.h"
#include "simkernel/caller.h"
#include "simkernel/memory.h"

namespace scn {
namespace {

struct Item {
    bool block = false;
    size_t offset = 0;
    size_t before = 0;
};

bool ParseItems(const std::string& text, std::vector<Item>* items, std::string* error)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        std::string word = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        Item item;
        size_t colon = word.find(':');
        std::string where = word.substr(0, colon);
        if (colon != std::string::npos) {
            auto before = ParseNumber(word.substr(colon + 1));
            if (!before || *before >= sim::kPageSize) {
                *error = "freed=: the bytes before the freed page are 0 to 4095, not '" + word + "'";
                return false;
            }
            item.before = static_cast<size_t>(*before);
        }
        if (where == "block") {
            item.block = true;
        } else if (auto offset = ParseNumber(where); offset && *offset < (1u << 24)) {
            item.offset = static_cast<size_t>(*offset);
        } else {
            *error = "freed= takes OFFSET[:BEFORE] or block[:BEFORE], not '" + word + "'";
            return false;
        }
        items->push_back(item);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

}  // namespace

FreedPages::FreedPages(const Step& step, bool internal, bool program, std::vector<unsigned char>* input)
    : faultsBefore_(sim::CaughtFaults())
{
    if (step.Has("faults"))
        expectedFaults_ = static_cast<long>(ParseNumber(step.Option("faults")).value());
    if (!step.Has("freed"))
        return;
    std::vector<Item> items;
    if (!ParseItems(step.Option("freed"), &items, &error_))
        return;

    // A page of zeros, and right after it a page that is not there: the gap
    // after a low user area, or a buffer's guard page.
    low_ = program;
    if (low_) {
        page_ = sim::LowUserArea(sim::kPageSize);
    } else {
        sim::SimBuffer buffer = sim::AllocateBuffer(sim::kPageSize);
        page_ = buffer.address;
        size_ = buffer.size;
    }
    unsigned char* freed = page_ + sim::kPageSize;
    sim::VouchForPage(freed);

    for (const Item& item : items) {
        unsigned char* at = freed - item.before;
        if (item.block) {
            if (!internal) {
                error_ = "freed=block: only an internal request carries its block by address";
                return;
            }
            if (!input->empty())
                std::memcpy(at, input->data(), std::min(item.before, input->size()));
            block_ = at;
            continue;
        }
        if (item.offset + sizeof(uint64_t) > input->size()) {
            error_ = "freed=: the address at byte " + std::to_string(item.offset) + " does not fit in in=";
            return;
        }
        uint64_t address = reinterpret_cast<uintptr_t>(at);
        for (size_t i = 0; i < sizeof(address); ++i)
            (*input)[item.offset + i] = static_cast<unsigned char>(address >> (8 * i));
    }
}

FreedPages::~FreedPages()
{
    if (page_ == nullptr)
        return;
    sim::VouchForPage(page_ + sim::kPageSize, false);
    if (low_)
        sim::FreeLowUserArea(page_);
    else
        sim::FreeBuffer(sim::SimBuffer{page_, size_});
}

std::string FreedPages::CheckFaults() const
{
    int faults = sim::CaughtFaults() - faultsBefore_;
    if (expectedFaults_ < 0 || faults == expectedFaults_)
        return {};
    return "the driver's reads faulted " + std::to_string(faults) + " times, faults= expects " +
           std::to_string(expectedFaults_);
}

}  // namespace scn
