// Compress and expand speed of the codec beside the classic 1989 program,
// file to file, on the same inputs in one run. The heap counter shows that
// the codec's memory does not grow with the file.
#include "payload/archive.h"
#include "tests/bench/classic_lzss.h"
#include "tests/bench/heap_counter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tollander::payload;

namespace {

// Intel HEX text like a modem's main code: extended segment records every
// 64 KB, 32-byte data records, code-like bytes with repeated sequences.
std::string HexImage(std::size_t size) {
    std::mt19937 rng(1997);
    std::vector<std::uint8_t> code;
    while (code.size() < size) {
        if (code.size() > 64 && rng() % 3 == 0) {
            // Reuse an earlier stretch, as compiled code does.
            const std::size_t from = rng() % (code.size() - 32);
            const std::size_t len = 4 + rng() % 28;
            for (std::size_t i = 0; i < len; ++i)
                code.push_back(code[from + i]);
        } else {
            const std::size_t len = 1 + rng() % 8;
            for (std::size_t i = 0; i < len; ++i)
                code.push_back(rng() % 5 == 0 ? 0xFF : static_cast<std::uint8_t>(rng() % 97));
        }
    }
    std::string text;
    char line[96];
    for (std::uint32_t address = 0; text.size() < size; address += 32) {
        if (address % 0x10000 == 0) {
            const unsigned segment = (address >> 4) & 0xF000;
            const unsigned sum = 2 + 2 + (segment >> 8) + (segment & 0xFF);
            std::snprintf(line, sizeof line, ":02000002%04X%02X\r\n", segment,
                          (0x100 - (sum & 0xFF)) & 0xFF);
            text += line;
        }
        unsigned sum = 32 + ((address >> 8) & 0xFF) + (address & 0xFF);
        int at = std::snprintf(line, sizeof line, ":20%04X00", address & 0xFFFF);
        for (int i = 0; i < 32; ++i) {
            const std::uint8_t b = code[(address + i) % code.size()];
            sum += b;
            at += std::snprintf(line + at, sizeof line - at, "%02X", b);
        }
        std::snprintf(line + at, sizeof line - at, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    text.resize(size - 13);
    text += ":00000001FF\r\n";
    return text;
}

// 1 MB pieces in turn: random bytes, HEX text, long runs, a repeated record,
// English-like words.
std::string MixedData(std::size_t size) {
    std::mt19937 rng(42);
    const std::size_t piece = 1 << 20;
    const char* words[] = {"modem ", "flash ", "the ", "serial ", "port ", "upgrade ",
                           "boot ",  "code ",  "and ", "image ",  "line ", "\r\n"};
    std::string out;
    for (int kind = 0; out.size() < size; kind = (kind + 1) % 5) {
        std::string p;
        switch (kind) {
        case 0:
            while (p.size() < piece)
                p += static_cast<char>(rng());
            break;
        case 1:
            p = HexImage(piece);
            break;
        case 2:
            while (p.size() < piece)
                p.append(1 + rng() % 3000, static_cast<char>(rng()));
            break;
        case 3:
            while (p.size() < piece)
                p += "REC;0042;OK;3.14159;ABCDEFGH\r\n";
            break;
        default:
            while (p.size() < piece)
                p += words[rng() % 12];
        }
        p.resize(piece);
        out += p;
    }
    out.resize(size);
    return out;
}

struct Fixture {
    fs::path dir;
    std::string hex_plain, hex_packed, hex_classic;
    std::string mixed_plain, mixed_packed, mixed_classic;

    Fixture() {
        dir = fs::temp_directory_path() /
              ("tollander-bench-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        hex_plain = Write("F2ZE0529.HEX", HexImage(619821));
        mixed_plain = Write("MIXED.BIN", MixedData(10 << 20));
        hex_packed = Path("F2ZE0529.HE~");
        mixed_packed = Path("MIXED.BI~");
        LZCompressFile(hex_plain, hex_packed);
        LZCompressFile(mixed_plain, mixed_packed);
        hex_classic = Path("hex.classic");
        mixed_classic = Path("mixed.classic");
        ClassicFile(classic_lzss::Encode, hex_plain, hex_classic);
        ClassicFile(classic_lzss::Encode, mixed_plain, mixed_classic);
    }
    ~Fixture() { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const std::string& name, const std::string& data) const {
        std::ofstream(Path(name), std::ios::binary) << data;
        return Path(name);
    }
    static void ClassicFile(void (*op)(std::FILE*, std::FILE*), const std::string& in,
                             const std::string& out) {
        std::FILE* i = std::fopen(in.c_str(), "rb");
        std::FILE* o = std::fopen(out.c_str(), "wb");
        op(i, o);
        std::fclose(i);
        std::fclose(o);
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

enum Input { kHex, kMixed };

void Report(benchmark::State& state, const std::string& plain, const std::string& packed) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(plain)));
    state.counters["ratio_%"] =
        100.0 * double(fs::file_size(packed)) / double(fs::file_size(plain));
}

void BM_CodecCompress(benchmark::State& state) {
    auto& f = TheFixture();
    const auto& in = state.range(0) == kHex ? f.hex_plain : f.mixed_plain;
    const auto out = f.Path("codec.out");
    const std::size_t base = heap_counter::Current();
    heap_counter::ResetPeak();
    for (auto _ : state) {
        fs::remove(out);
        LZCompressFile(in, out);
    }
    state.counters["heap_peak_bytes"] = double(heap_counter::Peak() - base);
    Report(state, in, out);
}

void BM_ClassicCompress(benchmark::State& state) {
    auto& f = TheFixture();
    const auto& in = state.range(0) == kHex ? f.hex_plain : f.mixed_plain;
    const auto out = f.Path("classic.out");
    for (auto _ : state)
        Fixture::ClassicFile(classic_lzss::Encode, in, out);
    Report(state, in, out);
}

void BM_CodecExpand(benchmark::State& state) {
    auto& f = TheFixture();
    const auto& in = state.range(0) == kHex ? f.hex_packed : f.mixed_packed;
    const auto out = f.Path("codec.plain");
    const std::size_t base = heap_counter::Current();
    heap_counter::ResetPeak();
    for (auto _ : state) {
        fs::remove(out);
        LZDecompressFile(in, out);
    }
    state.counters["heap_peak_bytes"] = double(heap_counter::Peak() - base);
    Report(state, out, in);
}

void BM_ClassicExpand(benchmark::State& state) {
    auto& f = TheFixture();
    const auto& in = state.range(0) == kHex ? f.hex_classic : f.mixed_classic;
    const auto out = f.Path("classic.plain");
    for (auto _ : state)
        Fixture::ClassicFile(classic_lzss::Decode, in, out);
    Report(state, out, in);
}

} // namespace

// Argument 0: the 620 KB HEX text; 1: 10 MB of mixed data.
BENCHMARK(BM_CodecCompress)->Arg(kHex)->Arg(kMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassicCompress)->Arg(kHex)->Arg(kMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodecExpand)->Arg(kHex)->Arg(kMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassicExpand)->Arg(kHex)->Arg(kMixed)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
