#include "payload/lzss.h"
#include "tests/unit/lzss_reference.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace tollander::payload;

using Bytes = std::vector<std::uint8_t>;
using lzss_reference::ReferenceEncoder;

namespace {

Bytes RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

Bytes LongRuns(std::size_t n) {
    std::mt19937 rng(7);
    Bytes out;
    while (out.size() < n)
        out.insert(out.end(), 1 + rng() % 5000, static_cast<std::uint8_t>(rng()));
    out.resize(n);
    return out;
}

// Intel HEX-like text: 16-byte data records at rising addresses, mostly
// erased flash with some code-like bytes.
Bytes HexText(std::size_t n) {
    std::mt19937 rng(11);
    std::string text;
    unsigned address = 0;
    while (text.size() < n) {
        char line[64];
        std::uint8_t data[16];
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        for (auto& d : data) {
            d = rng() % 4 == 0 ? 0xFF : static_cast<std::uint8_t>(rng() % 64);
            sum += d;
        }
        int at = std::snprintf(line, sizeof line, ":10%04X00", address & 0xFFFF);
        for (auto d : data)
            at += std::snprintf(line + at, sizeof line - at, "%02X", d);
        std::snprintf(line + at, sizeof line - at, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
        address += 16;
    }
    text.resize(n);
    return Bytes(text.begin(), text.end());
}

Bytes RepeatedRecord(std::size_t n) {
    const std::string record = "RECORD 0042;STATUS=OK;VALUE=3.14159\r\n";
    Bytes out;
    while (out.size() < n)
        out.insert(out.end(), record.begin(), record.end());
    out.resize(n);
    return out;
}

} // namespace

TEST(LzssVectors, KnownBodies) {
    EXPECT_TRUE(LzssEncode({}).empty());

    const std::string abc = "abcdefgh";
    EXPECT_EQ(LzssEncode(Bytes(abc.begin(), abc.end())),
              (Bytes{0xFF, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x00}));

    // Two matches against the zeroed window: 4060 for 18 bytes, 4095 for 12.
    const Bytes zeros(30, 0);
    const Bytes body{0x00, 0xDC, 0xFF, 0xFF, 0xF9};
    EXPECT_EQ(LzssEncode(zeros), body);
    EXPECT_EQ(LzssDecode(body), zeros);
}

TEST(LzssRoundTrip, SizesAndKindsMatchReferenceCoder) {
    const std::size_t sizes[] = {0, 1, 17, 18, 19, 4095, 4096, 4097, 31999, 32000, 32001, 1 << 20};
    struct Kind {
        const char* name;
        Bytes (*make)(std::size_t);
    };
    const Kind kinds[] = {{"random", [](std::size_t n) { return RandomBytes(n, 3); }},
                          {"runs", LongRuns},
                          {"hex", HexText},
                          {"record", RepeatedRecord}};
    for (const auto& kind : kinds) {
        for (std::size_t size : sizes) {
            SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(size));
            const Bytes input = kind.make(size);
            LzssTotals totals;
            const Bytes body = LzssEncode(input, &totals);
            EXPECT_EQ(totals.bytes_read, static_cast<std::int64_t>(size));
            EXPECT_EQ(totals.bytes_written, static_cast<std::int64_t>(body.size()));
            ASSERT_EQ(body, ReferenceEncoder(true).Encode(input));
            ASSERT_EQ(LzssDecode(body), input);
        }
    }
}

TEST(LzssRoundTrip, WholeGroupsEndWithEmptyFlagByte) {
    // 16 distinct bytes: two full literal groups, then a lone flag byte 0.
    Bytes input(16);
    for (int i = 0; i < 16; ++i)
        input[i] = static_cast<std::uint8_t>(i + 1);
    const Bytes body = LzssEncode(input);
    ASSERT_EQ(body.size(), 2u * 9u + 1u);
    EXPECT_EQ(body[0], 0xFF);
    EXPECT_EQ(body[9], 0xFF);
    EXPECT_EQ(body.back(), 0x00);
    EXPECT_EQ(LzssDecode(body), input);
}

TEST(LzssSplay, DeepInsertionsAreSplayedAndShapeTheOutput) {
    // Rising addresses make the strings arrive in sorted order: a degenerate
    // chain unless the splay reshapes it.
    const Bytes input = HexText(200000);
    LzssTotals totals;
    const Bytes body = LzssEncode(input, &totals);
    EXPECT_GE(totals.deepest_insertion, 30);
    EXPECT_GT(totals.splays, 0);
    EXPECT_EQ(body, ReferenceEncoder(true).Encode(input));
    // The splay changes which of equally long matches is found first, so a
    // coder that never splays writes a different body.
    EXPECT_NE(body, ReferenceEncoder(false).Encode(input));
    EXPECT_EQ(LzssDecode(body), input);
}

TEST(LzssDecode, StopsWhereverTheBodyEnds) {
    // Cut between the two bytes of a match: the match is dropped, no error.
    EXPECT_TRUE(LzssDecode(Bytes{0x00, 0xDC}).empty());
    EXPECT_EQ(LzssDecode(Bytes{0x00, 0xDC, 0xFF}), Bytes(18, 0));

    const Bytes input = HexText(3000);
    const Bytes body = LzssEncode(input);
    std::size_t previous = 0;
    for (std::size_t cut = 0; cut <= body.size(); ++cut) {
        const Bytes out = LzssDecode(std::span(body).first(cut));
        ASSERT_LE(out.size(), input.size());
        ASSERT_TRUE(std::equal(out.begin(), out.end(), input.begin())) << "cut " << cut;
        ASSERT_GE(out.size(), previous);
        previous = out.size();
    }
    EXPECT_EQ(previous, input.size());
}

TEST(LzssCoderReuse, EncodesAndDecodesInTurnWithoutCarryingState) {
    LzssCoder coder;
    struct Source : BlockSource {
        Bytes data;
        std::size_t pos = 0;
        std::size_t ReadBlock(std::uint8_t* buffer, std::size_t capacity) override {
            // Short blocks exercise the refill path.
            const std::size_t n = std::min({capacity, data.size() - pos, std::size_t{777}});
            std::copy_n(data.begin() + pos, n, buffer);
            pos += n;
            return n;
        }
    };
    struct Sink : BlockSink {
        Bytes data;
        void WriteBlock(const std::uint8_t* d, std::size_t n) override {
            data.insert(data.end(), d, d + n);
        }
    };
    for (const Bytes& input : {HexText(50000), RandomBytes(40000, 9), Bytes(30, 0)}) {
        Source plain;
        plain.data = input;
        Sink body;
        coder.Encode(plain, body);
        EXPECT_EQ(body.data, LzssEncode(input));
        Source packed;
        packed.data = body.data;
        Sink restored;
        coder.Decode(packed, restored);
        EXPECT_EQ(restored.data, input);
    }
}

TEST(LzssCoderReuse, ConcurrentOperationsDoNotInterfere) {
    const Bytes a = HexText(300000);
    const Bytes b = RandomBytes(300000, 5);
    const Bytes body_a = LzssEncode(a);
    const Bytes body_b = LzssEncode(b);
    bool a_ok = true;
    bool b_ok = true;
    auto work = [](const Bytes& input, const Bytes& body, bool& ok) {
        for (int i = 0; i < 3; ++i)
            ok = ok && LzssEncode(input) == body && LzssDecode(body) == input;
    };
    std::thread ta(work, std::cref(a), std::cref(body_a), std::ref(a_ok));
    std::thread tb(work, std::cref(b), std::cref(body_b), std::ref(b_ok));
    ta.join();
    tb.join();
    EXPECT_TRUE(a_ok);
    EXPECT_TRUE(b_ok);
}
