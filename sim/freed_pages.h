// Blocks that reach into a page freed under the driver: the freed= and
// faults= options of the control request steps.
//
//   freed=ITEM[,ITEM...]   ITEM is OFFSET[:BEFORE] or block[:BEFORE]
//   faults=N               the step's reads fault exactly N times
//
// Each step gets a page of zeros followed by a freed page: unmapped, yet the
// validity test vouches for it (as when another thread frees the page between
// the driver's test and its touch). OFFSET:BEFORE writes, at byte OFFSET of
// the request's input, the 8-byte address BEFORE bytes ahead of the freed
// page; `block` (internal requests) puts the request block itself there, its
// first BEFORE bytes readable and the rest gone. A program's request
// (handle-ioctl) gets its pages below 2 GB, where a 32-bit address reaches.
// faults= counts the faults the kernel turned into exceptions for the driver.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scn {

struct Step;

class FreedPages {
public:
    // Reads the step's options and, when it names freed pages, lays them out
    // and writes the addresses into *input. error() says what was wrong.
    FreedPages(const Step& step, bool internal, bool program, std::vector<unsigned char>* input);
    ~FreedPages();
    FreedPages(const FreedPages&) = delete;
    FreedPages& operator=(const FreedPages&) = delete;

    const std::string& error() const
    {
        return error_;
    }
    // The request block's address for `block`, or nullptr.
    unsigned char* block() const
    {
        return block_;
    }
    // Empty when faults= is absent or the count is what it says.
    std::string CheckFaults() const;

private:
    std::string error_;
    unsigned char* page_ = nullptr;  // the page of zeros; the freed one follows
    bool low_ = false;
    size_t size_ = 0;
    unsigned char* block_ = nullptr;
    int faultsBefore_ = 0;
    long expectedFaults_ = -1;
};

}  // namespace scn
