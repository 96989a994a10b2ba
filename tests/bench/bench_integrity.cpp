// What the checks cost when an image is copied out of a flasher: the sample
// flasher with its digest block, and the same file without it; and what the
// signature check adds at start-up.
#include "payload/integrity.h"
#include "payload/payload.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/files.h"
#include "tools/mkfirmware/sample_firmware.h"
#include "tools/pack/packer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using namespace tollander;

struct Flashers {
    std::string dir = platform::MakeScratchDir("bench-integrity");
    std::string with_block = dir + "/flasher";
    std::string without_block = dir + "/plain";
    std::string signed_flasher = dir + "/signed";
    Flashers() {
        auto write = [&](const std::string& name, const std::string& data) {
            std::ofstream(dir + "/" + name, std::ios::binary) << data;
            return dir + "/" + name;
        };
        tools::PackOptions o;
        o.boot_hex = write(tools::kBootHexName, tools::MakeBootHex());
        o.main_hex = write(tools::kMainHexName, tools::MakeMainHex());
        o.program = write("program", std::string(200000, '\x90'));
        o.boot_model = o.main_model = "xx166301";
        o.family = "Tollander";
        o.output = with_block;
        tools::Pack(o);
        // The program is 200000 bytes: the block follows it directly.
        std::ifstream in(with_block, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), {}};
        bytes.erase(200000, payload::kIntegrityBlockSize);
        // Nor the record's mark that says a block is there.
        std::fill_n(bytes.end() - static_cast<std::ptrdiff_t>(payload::kConfigRecordSize) +
                        static_cast<std::ptrdiff_t>(payload::kRecordMarkOffset),
                    13, '\0');
        std::ofstream(without_block, std::ios::binary) << bytes;
        o.output = signed_flasher;
        o.sign_key = TOLLANDER_SAMPLE_KEY;
        tools::Pack(o);
    }
    ~Flashers() { platform::RemoveTree(dir); }
};

Flashers& TheFlashers() {
    static Flashers flashers;
    return flashers;
}

// Arguments: 0 boot step / 1 main step; 0 without / 1 with the block.
void BM_ExtractImage(benchmark::State& state) {
    const bool main = state.range(0) == 1;
    const auto& f = TheFlashers();
    payload::PayloadState payload(state.range(1) == 1 ? f.with_block : f.without_block);
    payload.ReadConfigRecord();
    payload.ParseConfigRecord();
    const auto image = main ? payload::Image::Main : payload::Image::Boot;
    for (auto _ : state) {
        if (payload.ExtractImage(image) != payload::ImageOutcome::Done) state.SkipWithError("refused");
        payload::DeleteTempFile(payload.CurrentPackedFile());
    }
}
BENCHMARK(BM_ExtractImage)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"main", "block"})
    ->Unit(benchmark::kMicrosecond);

// Start-up: reading the record, as a program without keys (0) and as one
// with the sample vendor's key (1), which also verifies the signature.
void BM_ReadConfigRecord(benchmark::State& state) {
    const bool keys = state.range(0) == 1;
    const auto& f = TheFlashers();
    const std::vector<platform::EcPublicKey> vendor{
        platform::SigningKey::Load(TOLLANDER_SAMPLE_KEY, std::nullopt).PublicKey()};
    payload::PayloadState payload(f.signed_flasher);
    if (keys) payload.SetVendorKeys(vendor);
    for (auto _ : state) {
        if (!payload.ReadConfigRecord()) state.SkipWithError("refused");
    }
}
BENCHMARK(BM_ReadConfigRecord)->Arg(0)->Arg(1)->ArgName("keys")->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
