// Copying and expanding the images out of a packed flasher, building one,
// and inspecting one, on the sample firmware.
#include "payload/payload.h"
#include "platform/fs/files.h"
#include "tools/mkfirmware/sample_firmware.h"
#include "tools/pack/packer.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace {

using namespace tollander;

struct Sample {
    std::string dir = platform::MakeScratchDir("bench-payload");
    tools::PackOptions options;
    Sample() {
        auto write = [&](const std::string& name, const void* data, std::size_t size) {
            std::ofstream(dir + "/" + name, std::ios::binary)
                .write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
            return dir + "/" + name;
        };
        const std::string boot = tools::MakeBootHex();
        const std::string main_code = tools::MakeMainHex();
        const std::string program(200000, '\x90');
        options.boot_hex = write(tools::kBootHexName, boot.data(), boot.size());
        options.main_hex = write(tools::kMainHexName, main_code.data(), main_code.size());
        options.program = write("program", program.data(), program.size());
        options.output = dir + "/flasher";
        options.family = "Tollander";
        tools::Pack(options);
    }
    ~Sample() { platform::RemoveTree(dir); }
};

Sample& TheSample() {
    static Sample sample;
    return sample;
}

void BM_ExtractAndExpandMain(benchmark::State& state) {
    payload::PayloadState payload(TheSample().options.output);
    payload.ReadConfigRecord();
    payload.ParseConfigRecord();
    for (auto _ : state) {
        payload.ExtractImage(payload::Image::Main);
        payload.ExpandImage(payload::Image::Main);
        payload::DeleteTempFile(payload.CurrentHexFile());
    }
    state.SetBytesProcessed(state.iterations() * payload.UploadSize());
}
BENCHMARK(BM_ExtractAndExpandMain)->Unit(benchmark::kMillisecond);

void BM_PackSample(benchmark::State& state) {
    tools::PackOptions options = TheSample().options;
    options.output = TheSample().dir + "/again";
    for (auto _ : state)
        tools::Pack(options);
}
BENCHMARK(BM_PackSample)->Unit(benchmark::kMillisecond);

void BM_InspectSample(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(tools::InspectFile(TheSample().options.output));
}
BENCHMARK(BM_InspectSample)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
