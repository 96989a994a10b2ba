// The LZSS body coder of the compressed-file format: a 4096-byte ring that
// starts zeroed, matches of 3..18 bytes found through binary trees (splayed
// after deep insertions), eight items per flag byte, the last group always
// written. All state lives in one LzssCoder; its memory is fixed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tollander::payload {

inline constexpr int kRingSize = 4096;              // N
inline constexpr int kMaxMatch = 18;                // F
inline constexpr int kMatchThreshold = 2;           // longer matches are coded
inline constexpr int kFirstWritePosition = 4078;    // N - F
inline constexpr int kEmptyLink = 4096;             // "no node"
inline constexpr int kSplayDepth = 30;              // insertions this deep splay
inline constexpr std::size_t kBlockSize = 32000;    // each of the two block buffers
inline constexpr std::size_t kWorkAreaSize = 54304; // ring + the three tree arrays

// Where the coder's input comes from: fills up to `capacity` bytes, returns
// how many; 0 is the end of the input. May throw (the coder lets it pass).
class BlockSource {
public:
    virtual ~BlockSource() = default;
    virtual std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) = 0;
};

// Where the coder's output goes, one filled block at a time.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual void WriteBlock(const std::uint8_t* data, std::size_t size) = 0;
};

// What one run of the coder did.
struct LzssTotals {
    std::int64_t bytes_read = 0;    // from the source
    std::int64_t bytes_written = 0; // to the sink
    int deepest_insertion = 0;      // largest depth count of a tree insertion
    std::int64_t splays = 0;        // insertions that were followed by a splay
};

// One codec operation's memory and state: the input block, the output block
// and the 54304-byte work area, allocated by the constructor (std::bad_alloc
// when that fails) and released by the destructor. Nothing is allocated while
// coding. One coder may run any number of encodes and decodes in turn; two
// coders never share anything.
class LzssCoder {
public:
    LzssCoder();
    ~LzssCoder();
    LzssCoder(const LzssCoder&) = delete;
    LzssCoder& operator=(const LzssCoder&) = delete;

    // Codes the whole source into a body; always ends with the pending group.
    LzssTotals Encode(BlockSource& source, BlockSink& sink);

    // Expands a body until the source ends, wherever that falls.
    LzssTotals Decode(BlockSource& source, BlockSink& sink);

private:
    struct Memory;
    std::unique_ptr<Memory> memory_;
};

// In-memory conveniences over a fresh coder (tests, tools, fuzzing).
std::vector<std::uint8_t> LzssEncode(std::span<const std::uint8_t> input,
                                      LzssTotals* totals = nullptr);
std::vector<std::uint8_t> LzssDecode(std::span<const std::uint8_t> body,
                                      LzssTotals* totals = nullptr);

} // namespace tollander::payload
