// The input of a target that reads it as a sequence of choices: bytes taken one at a
// time (0 once it is used up) and runs of bytes of a length the input chooses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzinput {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    // Up to `most` bytes: the next byte says how many.
    std::string Bytes(std::size_t most) {
        const std::size_t count = std::min<std::size_t>(Byte() % (most + 1), size_ - std::min(at_, size_));
        std::string text(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return text;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace fuzzinput
