// The digest block: written by the packer, checked by ExtractImage, shown by
// --inspect, on flashers damaged in each way that matters.
#include "payload/integrity.h"
#include "payload/payload.h"
#include "tests/unit/payload_fixture.h"
#include "tools/pack/packer.h"

#include <cstdio>
#include <functional>
#include <sstream>

namespace tollander::payload {
namespace {

using namespace tollander::testing;

// Valid Intel HEX text of `records` 16-byte data records.
std::string HexText(int records, unsigned seed) {
    std::string text;
    char line[64];
    for (int r = 0; r < records; ++r) {
        const unsigned address = static_cast<unsigned>(r) * 16;
        unsigned sum = 0x10 + (address >> 8) + (address & 0xFF);
        int at = std::snprintf(line, sizeof line, ":10%04X00", address);
        for (unsigned i = 0; i < 16; ++i) {
            const unsigned b = (seed + static_cast<unsigned>(r) * 31 + i * 7) & 0xFF;
            sum += b;
            at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X", b);
        }
        std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X\r\n",
                      (0x100 - (sum & 0xFF)) & 0xFF);
        text += line;
    }
    return text + ":00000001FF\r\n";
}

// Where the pieces of a packed file lie.
struct Places {
    std::int64_t sound = 0, boot = 0, main = 0;
};

Places Locate(const std::vector<std::uint8_t>& file) {
    RawConfigRecord raw{};
    std::copy(file.end() - static_cast<std::ptrdiff_t>(raw.size()), file.end(), raw.begin());
    const ConfigRecord record = ParseConfigRecord(raw);
    const PayloadLayout l =
        ComputeLayout(static_cast<std::int64_t>(file.size()), record.BootLength, record.MainLength);
    return {l.sound_start, l.boot_start, l.main_start};
}

using Bytes = std::vector<std::uint8_t>;

void Flip(Bytes& f, std::int64_t at) {
    f[static_cast<std::size_t>(at)] ^= 0x01;
}
void PutU32(Bytes& f, std::int64_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        f[static_cast<std::size_t>(at + i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
// The file as a packer without the block would have written it.
void Strip(Bytes& f) {
    const std::int64_t sound = Locate(f).sound;
    f.erase(f.begin() + sound - static_cast<std::ptrdiff_t>(kIntegrityBlockSize),
            f.begin() + sound);
}

struct Outcome {
    std::uint16_t next = 0;
    bool passed = false;
    int code = 0;
};

class IntegrityTest : public ScratchWorld {
protected:
    void SetUp() override {
        ScratchWorld::SetUp();
        WriteText("boot.hex", HexText(40, 3));
        WriteText("main.hex", HexText(300, 9));
        WriteBytes("program", Bytes(3000, 0x90));
        tools::PackOptions o;
        o.output = "packed";
        o.program = "program";
        o.boot_hex = "boot.hex";
        o.main_hex = "main.hex";
        o.boot_model = o.main_model = "xx166301";
        o.family = "Tollander";
        tools::Pack(o);
        packed_ = ReadBytes("packed");
    }

    Outcome Extract(const std::string& file, Image image) {
        Outcome got;
        PayloadSink sink;
        sink.integrity = [&](const IntegrityResult& r) {
            got.passed = r.passed;
            got.code = r.open_result;
        };
        PayloadState state(file, sink);
        state.DeleteTempFiles();
        state.ReadConfigRecord();
        state.ParseConfigRecord();
        got.next = state.ExtractImage(image);
        const std::string name = image == Image::Boot ? BootPackedFile : MainPackedFile;
        // A refused image leaves no packed file behind to be expanded later.
        EXPECT_EQ(fs::exists(TempFilePath(name)), got.next != 99);
        state.DeleteTempFiles();
        return got;
    }

    std::string Describe(const std::string& file) {
        PayloadState state(file);
        state.ReadConfigRecord();
        state.ParseConfigRecord();
        return state.DescribeIntegrityBlock();
    }

    Bytes packed_;
};

TEST_F(IntegrityTest, PackedFileKeepsEveryOffsetFromTheEnd) {
    Bytes stripped = packed_;
    Strip(stripped);
    const Places p = Locate(packed_);
    ASSERT_EQ(packed_.size(), stripped.size() + kIntegrityBlockSize);
    EXPECT_TRUE(std::equal(stripped.begin(), stripped.begin() + 3000, packed_.begin()));
    EXPECT_TRUE(std::equal(stripped.begin() + 3000, stripped.end(), packed_.begin() + p.sound));
    EXPECT_TRUE(std::equal(packed_.begin() + p.sound, packed_.begin() + p.sound + 4, "RIFF"));

    IntegrityBlock expected;
    platform::File in = platform::File::OpenRead("packed");
    expected.boot = DigestRange(in, p.boot, p.main - p.boot);
    expected.main = DigestRange(
        in, p.main, static_cast<std::int64_t>(packed_.size()) - p.main - kConfigRecordSize);
    const auto block = EncodeIntegrityBlock(expected);
    EXPECT_TRUE(std::equal(block.begin(), block.end(),
                           packed_.begin() + p.sound - static_cast<std::ptrdiff_t>(block.size())));
}

TEST_F(IntegrityTest, EachDamageIsFoundWhereItMatters) {
    const Places p = Locate(packed_);
    const std::int64_t block = p.sound - static_cast<std::int64_t>(kIntegrityBlockSize);
    const std::int64_t mid_main = (p.main + static_cast<std::int64_t>(packed_.size())) / 2;
    const std::int64_t mid_boot = (p.boot + p.main) / 2;
    const Outcome ok1{24, true, 0}, ok2{54, true, 0};
    const Outcome bad{99, false, kIntegrityMismatch}, damaged{99, false, kIntegrityBlockDamaged};
    using State = BlockState;

    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        Outcome boot, main;
        State state; // what --inspect finds
        bool boot_matches, main_matches;
        const char* debug_line;
    };
    const char* kPresent = "Integrity    = digests present (format 1)";
    const char* kAbsent = "Integrity    = no digests, images not checked";
    const char* kDamaged = "Integrity    = digest block damaged or of an unknown format";
    const Case cases[] = {
        {"intact", [](Bytes&) {}, ok1, ok2, State::Present, true, true, kPresent},
        {"main image byte", [&](Bytes& f) { Flip(f, mid_main); }, bad, bad, State::Present, true,
         false, kPresent},
        {"last main byte",
         [&](Bytes& f) { Flip(f, static_cast<std::int64_t>(f.size() - kConfigRecordSize) - 1); },
         bad, bad, State::Present, true, false, kPresent},
        {"boot image byte", [&](Bytes& f) { Flip(f, mid_boot); }, bad, ok2, State::Present, false,
         true, kPresent},
        {"stored main digest", [&](Bytes& f) { Flip(f, block + 44 + 5); }, bad, bad, State::Present,
         true, false, kPresent},
        {"length field", [&](Bytes& f) { PutU32(f, block + 76, 81); }, damaged, damaged,
         State::Damaged, false, false, kDamaged},
        {"unknown format", [&](Bytes& f) { PutU32(f, block + 8, 2); }, damaged, damaged,
         State::Damaged, false, false, kDamaged},
        // A flipped magic hides the block, but then the images are intact.
        {"magic", [&](Bytes& f) { Flip(f, block); }, ok1, ok2, State::Absent, false, false,
         kAbsent},
        {"no block", [](Bytes& f) { Strip(f); }, ok1, ok2, State::Absent, false, false, kAbsent},
        {"no block, damaged main image: copied unchecked as always",
         [&](Bytes& f) {
             Strip(f);
             Flip(f, mid_main - static_cast<std::int64_t>(kIntegrityBlockSize));
         },
         ok1, ok2, State::Absent, false, false, kAbsent},
        {"no block, program ends like a block length",
         [&](Bytes& f) {
             Strip(f);
             PutU32(f, block - 4, static_cast<std::uint32_t>(kIntegrityBlockSize));
         },
         ok1, ok2, State::Absent, false, false, kAbsent},
        {"no block, program ends in a huge length",
         [&](Bytes& f) {
             Strip(f);
             PutU32(f, block - 4, 0xFFFFFFF0u);
         },
         ok1, ok2, State::Absent, false, false, kAbsent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes file = packed_;
        c.change(file);
        WriteBytes("flasher", file);
        for (const auto& [image, want] : {std::pair{Image::Boot, c.boot}, {Image::Main, c.main}}) {
            SCOPED_TRACE(image == Image::Boot ? "boot step" : "main step");
            const Outcome got = Extract("flasher", image);
            EXPECT_EQ(got.next, want.next);
            EXPECT_EQ(got.passed, want.passed);
            if (!want.passed) {
                EXPECT_EQ(got.code, want.code);
            }
        }
        EXPECT_EQ(Describe("flasher"), c.debug_line);

        const tools::Inspection seen = tools::InspectFile("flasher");
        EXPECT_EQ(seen.integrity.state, c.state);
        EXPECT_EQ(seen.integrity.boot.matches, c.boot_matches);
        EXPECT_EQ(seen.integrity.main.matches, c.main_matches);
        std::ostringstream printed;
        tools::PrintInspection(seen, printed);
        const std::string text = printed.str();
        if (c.state == State::Present) {
            EXPECT_NE(text.find(c.boot_matches ? "Boot digest  = matches"
                                               : "Boot digest  = DOES NOT MATCH"),
                      std::string::npos)
                << text;
            EXPECT_NE(text.find(c.main_matches ? "Main digest  = matches"
                                               : "Main digest  = DOES NOT MATCH"),
                      std::string::npos)
                << text;
        } else {
            EXPECT_NE(text.find(c.state == State::Absent ? "Integrity    = no digest block"
                                                         : "Integrity    = digest block damaged"),
                      std::string::npos)
                << text;
        }
    }
}

} // namespace
} // namespace tollander::payload
