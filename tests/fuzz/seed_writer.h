// Writes an input that FuzzedDataProvider reads back as the values given, in
// the order given: numbers are taken from the end of the input, a byte at a
// time with the most significant first, byte strings from the front.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace fuzz {

class SeedWriter {
public:
    // What ConsumeIntegralInRange<T>(min, max) returns as `value`.
    template <typename T>
    void Range(T min, T max, T value) {
        const uint64_t range = static_cast<uint64_t>(max) - static_cast<uint64_t>(min);
        const uint64_t offset = static_cast<uint64_t>(value) - static_cast<uint64_t>(min);
        size_t bytes = 0;
        for (size_t bits = 0; bits < sizeof(T) * CHAR_BIT && (range >> bits) > 0; bits += CHAR_BIT)
            ++bytes;
        for (size_t i = bytes; i-- > 0;)
            back_.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    }
    template <typename T>
    void Integral(T value) {
        Range<T>(std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), value);
    }
    void Bool(bool value) { Integral<uint8_t>(value ? 1 : 0); }
    // What PickValueInArray returns as the array's element `index`.
    void Pick(size_t index, size_t count) { Range<size_t>(0, count - 1, index); }
    // What ConsumeBytes(bytes.size()) returns.
    void Bytes(const std::vector<uint8_t>& bytes) { front_.insert(front_.end(), bytes.begin(), bytes.end()); }

    std::vector<uint8_t> Input() const {
        std::vector<uint8_t> input = front_;
        input.insert(input.end(), back_.rbegin(), back_.rend());
        return input;
    }

private:
    std::vector<uint8_t> front_;
    std::vector<uint8_t> back_;  // in the order they are read
};

}  // namespace fuzz
