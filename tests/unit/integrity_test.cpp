// The digest block: written by the packer, checked by ExtractImage, shown by
// --inspect, on flashers damaged in each way that matters.
#include "payload/integrity.h"
#include "payload/payload.h"
#include "payload/program_length.h"
#include "platform/fs/self_path.h"
#include "tests/unit/pack_fixture.h"

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
// The file as a packer without the block would have written it: no block,
// nothing in the record's reserved bytes.
void Strip(Bytes& f) {
    const std::int64_t sound = Locate(f).sound;
    f.erase(f.begin() + sound - static_cast<std::ptrdiff_t>(kIntegrityBlockSize),
            f.begin() + sound);
    const std::size_t mark = f.size() - kConfigRecordSize + kRecordMarkOffset;
    std::fill(f.begin() + static_cast<std::ptrdiff_t>(mark),
              f.begin() + static_cast<std::ptrdiff_t>(mark + 13), std::uint8_t{0});
}
// Offsets of record fields in the file.
std::int64_t RecordAt(const Bytes& f, std::size_t field) {
    return static_cast<std::int64_t>(f.size() - kConfigRecordSize + field);
}
std::uint32_t GetU32(const Bytes& f, std::int64_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | f[static_cast<std::size_t>(at + i)];
    return v;
}
void AddToU32(Bytes& f, std::int64_t at, int delta) {
    PutU32(f, at, GetU32(f, at) + static_cast<std::uint32_t>(delta));
}

struct Outcome {
    ImageOutcome next = ImageOutcome::Failed;
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
        packed_ = PackScratchFlasher();
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
        EXPECT_EQ(fs::exists(TempFilePath(name)), got.next == ImageOutcome::Done);
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
    const auto record = static_cast<std::ptrdiff_t>(packed_.size() - kConfigRecordSize);
    EXPECT_TRUE(std::equal(stripped.begin() + 3000, stripped.end() - kConfigRecordSize,
                           packed_.begin() + p.sound));
    EXPECT_TRUE(std::equal(packed_.begin() + p.sound, packed_.begin() + p.sound + 4, "RIFF"));

    // The record says where the block is, and the block covers the record.
    RawConfigRecord raw{};
    std::copy(packed_.begin() + record, packed_.end(), raw.begin());
    EXPECT_EQ(RecordMark(raw), std::optional<std::uint32_t>(3000));
    IntegrityBlock expected;
    platform::File in = platform::File::OpenRead("packed");
    expected.boot = DigestRange(in, p.boot, p.main - p.boot);
    expected.main = DigestRange(in, p.main, record - p.main);
    expected.record = DigestOf(raw.data(), raw.size());
    const auto block = EncodeIntegrityBlock(expected);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), packed_.begin() + 3000));
}

TEST_F(IntegrityTest, EachDamageIsFoundWhereItMatters) {
    const Places p = Locate(packed_);
    const std::int64_t block = p.sound - static_cast<std::int64_t>(kIntegrityBlockSize);
    const std::int64_t mid_main = (p.main + static_cast<std::int64_t>(packed_.size())) / 2;
    const std::int64_t mid_boot = (p.boot + p.main) / 2;
    const std::int64_t boot_length = RecordAt(packed_, 0), main_length = RecordAt(packed_, 4);
    const Outcome ok1{ImageOutcome::Done, true, 0}, ok2 = ok1;
    auto bad = [](int code) { return Outcome{ImageOutcome::Failed, false, code}; };
    const Outcome mismatch = bad(kIntegrityMismatch), record = bad(kIntegrityRecordDamaged),
                  damaged = bad(kIntegrityBlockDamaged), archive = bad(kIntegrityNotAnArchive);
    using State = BlockState;
    const char* kPresent = "Integrity    = digests present (format 2)";
    const char* kAbsent = "Integrity    = no digests, images checked as Intel HEX only";
    const char* kDamaged = "Integrity    = digest block damaged or of an unknown format";

    struct Case {
        const char* what;
        std::function<void(Bytes&)> change;
        Outcome boot, main;
        State state; // what --inspect finds
        bool boot_matches, main_matches;
        const char* debug_line;
    };
    const Case cases[] = {
        {"intact", [](Bytes&) {}, ok1, ok2, State::Present, true, true, kPresent},
        {"main image byte", [&](Bytes& f) { Flip(f, mid_main); }, mismatch, mismatch,
         State::Present, true, false, kPresent},
        {"last main byte",
         [&](Bytes& f) { Flip(f, static_cast<std::int64_t>(f.size() - kConfigRecordSize) - 1); },
         mismatch, mismatch, State::Present, true, false, kPresent},
        {"boot image byte", [&](Bytes& f) { Flip(f, mid_boot); }, mismatch, ok2, State::Present,
         false, true, kPresent},
        {"archive header", [&](Bytes& f) { Flip(f, p.main + 20); }, mismatch, mismatch,
         State::Present, true, false, kPresent},
        {"stored main digest", [&](Bytes& f) { Flip(f, block + 44 + 5); }, mismatch, mismatch,
         State::Present, true, false, kPresent},
        {"stored record digest", [&](Bytes& f) { Flip(f, block + 76 + 3); }, record, record,
         State::Present, true, true, kPresent},
        {"a country added", [&](Bytes& f) { f[RecordAt(f, 143 + 20)] = 1; }, record, record,
         State::Present, true, true, kPresent},
        {"boot length + 1", [&](Bytes& f) { AddToU32(f, boot_length, 1); }, record, record,
         State::Present, false, false, kPresent},
        {"main length - 1", [&](Bytes& f) { AddToU32(f, main_length, -1); }, record, record,
         State::Present, false, false, kPresent},
        {"block length field", [&](Bytes& f) { PutU32(f, block + 108, 113); }, damaged, damaged,
         State::Damaged, false, false, kDamaged},
        {"unknown format", [&](Bytes& f) { PutU32(f, block + 8, 3); }, damaged, damaged,
         State::Damaged, false, false, kDamaged},
        // The record still says there is a block.
        {"magic", [&](Bytes& f) { Flip(f, block); }, damaged, damaged, State::Damaged, false, false,
         kDamaged},
        {"magic and a main image byte",
         [&](Bytes& f) {
             Flip(f, block);
             Flip(f, mid_main);
         },
         damaged, damaged, State::Damaged, false, false, kDamaged},
        // The block is still found from the sound, and it covers the mark.
        {"the record's mark", [&](Bytes& f) { Flip(f, RecordAt(f, kRecordMarkOffset)); }, record,
         record, State::Present, true, true, kPresent},
        {"no block", [](Bytes& f) { Strip(f); }, ok1, ok2, State::Absent, false, false, kAbsent},
        {"no block, main archive signature",
         [&](Bytes& f) {
             Strip(f);
             Flip(f, p.main - static_cast<std::int64_t>(kIntegrityBlockSize) + 36);
         },
         archive, archive, State::Absent, false, false, kAbsent},
        {"no block, main length + 1",
         [&](Bytes& f) {
             Strip(f);
             AddToU32(f, RecordAt(f, 4), 1);
         },
         archive, archive, State::Absent, false, false, kAbsent},
        {"no block, negative main length",
         [&](Bytes& f) {
             Strip(f);
             PutU32(f, RecordAt(f, 4), 0xFFFFFFFFu);
         },
         record, record, State::Absent, false, false, kAbsent},
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

        // Lengths that moved the sound leave nothing --inspect recognises.
        const std::int64_t sound = Locate(file).sound;
        if (sound != p.sound && sound != p.sound - static_cast<std::int64_t>(kIntegrityBlockSize))
            continue;
        const tools::Inspection seen = tools::InspectFile("flasher");
        EXPECT_EQ(seen.integrity.state, c.state);
        EXPECT_EQ(seen.integrity.code, c.boot.code) << seen.integrity.fault;
        if (c.state == State::Present) {
            EXPECT_EQ(seen.integrity.boot.matches, c.boot_matches);
            EXPECT_EQ(seen.integrity.main.matches, c.main_matches);
        }
        std::ostringstream printed;
        tools::PrintInspection(seen, printed);
        const std::string text = printed.str();
        EXPECT_NE(text.find(c.boot.passed ? "Check        = passes"
                                          : "Check        = refused, failure code " +
                                                std::to_string(c.boot.code)),
                  std::string::npos)
            << text;
        if (c.state == State::Present) {
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

// The smallest programs of each format whose headers give their length:
// an ELF file with a section of bytes and its section table last, and a PE
// file with its headers and one section.
Bytes TinyElf() {
    Bytes f(0x180, 0);
    const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    std::copy(std::begin(ident), std::end(ident), f.begin());
    PutU32(f, 0x28, 0x100);                   // section table
    f[0x3A] = 64;                             // its entry size
    f[0x3C] = 2;                              // two sections: the null one and
    PutU32(f, 0x100 + 64 + 4, 1);             // one with bytes,
    PutU32(f, 0x100 + 64 + 0x18, 0x40);       // at 0x40,
    PutU32(f, 0x100 + 64 + 0x20, 0xC0);       // 0xC0 of them
    return f;
}
Bytes TinyPe() {
    Bytes f(0x400, 0);
    f[0] = 'M', f[1] = 'Z';
    PutU32(f, 0x3C, 0x40);
    std::copy_n("PE\0", 4, f.begin() + 0x40);
    f[0x46] = 1;                              // one section
    f[0x54] = 240;                            // optional header size
    f[0x58] = 0x0B, f[0x59] = 0x02;           // PE32+
    PutU32(f, 0x58 + 60, 0x200);              // size of the headers
    PutU32(f, 0x58 + 240 + 16, 0x200);        // the section's raw data: 0x200 bytes
    PutU32(f, 0x58 + 240 + 20, 0x200);        // at 0x200
    return f;
}

TEST_F(IntegrityTest, ProgramLengthIsWhereTheHeadersSayTheProgramEnds) {
    // The very program running this: ELF here, PE on Windows.
    const std::string self = platform::SelfPath();
    platform::File file = platform::File::OpenRead(self);
    ASSERT_TRUE(file.Valid());
    EXPECT_EQ(ProgramLength(file), std::optional<std::int64_t>(platform::FileSize(self)));

    Bytes pe_with_symbols = TinyPe();
    PutU32(pe_with_symbols, 0x4C, 0x400); // two symbols at the end, then
    PutU32(pe_with_symbols, 0x50, 2);     // a string table of 10 bytes
    pe_with_symbols.resize(0x400 + 36 + 10);
    PutU32(pe_with_symbols, 0x400 + 36, 10);
    Bytes cut_elf = TinyElf();
    cut_elf.resize(0x120); // the section table cut
    Bytes wrong_endian = TinyElf();
    wrong_endian[5] = 2;
    Bytes short_entries = TinyElf();
    short_entries[0x3A] = 8; // section headers too short for the fields read
    const std::pair<const char*, std::pair<Bytes, std::optional<std::int64_t>>> cases[] = {
        {"ELF", {TinyElf(), 0x180}},
        {"ELF cut in its section table", {cut_elf, 0x180}},
        {"big-endian ELF", {wrong_endian, std::nullopt}},
        {"ELF with entries shorter than their fields", {short_entries, std::nullopt}},
        {"PE", {TinyPe(), 0x400}},
        {"PE with symbols", {pe_with_symbols, 0x400 + 36 + 10}},
        {"neither", {Bytes(3000, 0x90), std::nullopt}},
        {"empty", {Bytes{}, std::nullopt}},
    };
    for (const auto& [what, c] : cases) {
        SCOPED_TRACE(what);
        WriteBytes("program", c.first);
        platform::File in = platform::File::OpenRead("program");
        EXPECT_EQ(ProgramLength(in), c.second);
    }
}

// A flasher cut short or lengthened ends in bytes that only look like a
// record: start-up refuses them, whatever program carries the payload.
TEST_F(IntegrityTest, AFlasherThatLostOrGainedItsEndHasNoRecord) {
    struct Case {
        const char* what;
        std::function<void(Bytes&, std::size_t program)> change;
        int code;
    };
    const auto cut = [](std::size_t n) {
        return [n](Bytes& f, std::size_t) { f.resize(f.size() - n); };
    };
    // The file ending `n` bytes after the program's end.
    const auto to = [](std::ptrdiff_t n) {
        return [n](Bytes& f, std::size_t program) {
            f.resize(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(program) + n));
        };
    };
    const Case cases[] = {
        {"intact", [](Bytes&, std::size_t) {}, 0},
        {"one byte cut", cut(1), kIntegrityRecordDamaged},
        {"cut by a record's length", cut(kConfigRecordSize), kIntegrityRecordDamaged},
        {"cut into the sound", to(kIntegrityBlockSize + 1000), kIntegrityRecordDamaged},
        {"cut inside the block's magic", to(3), kIntegrityRecordDamaged},
        {"cut into the program", to(-1), kIntegrityRecordDamaged},
        {"a byte added", [](Bytes& f, std::size_t) { f.push_back(0); }, kIntegrityRecordDamaged},
        {"no block, one byte cut",
         [](Bytes& f, std::size_t) {
             Strip(f);
             f.pop_back();
         },
         0},
    };
    const Bytes neither(3000, 0x90);
    for (const auto& [kind, program] :
         {std::pair{"ELF", TinyElf()}, {"PE", TinyPe()}, {"neither", neither}}) {
        SCOPED_TRACE(kind);
        WriteBytes("program", program);
        tools::PackOptions o;
        o.output = "packed";
        o.program = "program";
        o.main_hex = "main.hex";
        o.main_model = "xx166301";
        o.family = "Tollander";
        tools::Pack(o);
        const Bytes packed = ReadBytes("packed");
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Bytes file = packed;
            c.change(file, program.size());
            // A file of no program format is never judged by its end.
            const int code = program == neither ? 0 : c.code;
            WriteBytes("flasher", file);
            PayloadState state("flasher");
            EXPECT_EQ(state.ReadConfigRecord(), code == 0);
            EXPECT_EQ(state.RecordFault(), code);
            // Nothing of what lies at the end is taken.
            if (code == 0) continue;
            EXPECT_EQ(state.RawRecord(), RawConfigRecord{});
            // --inspect gives the same verdict.
            try {
                EXPECT_EQ(tools::InspectFile("flasher").integrity.code, code);
            } catch (const payload::InspectError& e) {
                EXPECT_NE(std::string(e.what()).find("failure code " + std::to_string(code)),
                          std::string::npos)
                    << e.what();
            }
        }
    }
}

// A packed file changed between the copy and the expansion is refused, and
// so is a HEX file changed before it is sent.
TEST_F(IntegrityTest, FilesChangedAfterTheCheckAreRefused) {
    PayloadSink sink;
    int code = 0;
    sink.integrity = [&](const IntegrityResult& r) { code = r.passed ? 0 : r.open_result; };
    PayloadState state("packed", sink);
    state.ReadConfigRecord();
    state.ParseConfigRecord();
    ASSERT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Done);
    ASSERT_EQ(code, 0);
    ASSERT_EQ(state.ExpandImage(Image::Main), ImageOutcome::Done);
    const auto blocks = state.UploadCheck();
    ASSERT_TRUE(blocks);
    Bytes hex = ReadBytes(TempFilePath(MainHexFile));
    ASSERT_EQ(blocks->Count(), (hex.size() + kSendBlockSize - 1) / kSendBlockSize);
    const auto block = [&](std::size_t i) { return hex.data() + i * kSendBlockSize; };
    const std::size_t n = blocks->Count();
    const std::size_t tail = hex.size() - (n - 1) * kSendBlockSize;
    EXPECT_TRUE(blocks->Matches(0, block(0), kSendBlockSize, n == 1));
    EXPECT_TRUE(blocks->Matches(static_cast<std::uint32_t>(n - 1), block(n - 1), tail, true));
    // A file cut at a block's end, one longer, a changed byte.
    EXPECT_FALSE(blocks->Matches(0, block(0), kSendBlockSize, true));
    EXPECT_FALSE(blocks->Matches(static_cast<std::uint32_t>(n - 1), block(n - 1), tail, false));
    EXPECT_FALSE(blocks->Matches(static_cast<std::uint32_t>(n), block(0), 1, true));
    hex[5] ^= 1;
    EXPECT_FALSE(blocks->Matches(0, block(0), kSendBlockSize, n == 1));
    state.DeleteTempFiles();

    // Another archive, of valid HEX, put in place of the packed file.
    ASSERT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Done);
    const std::string packed = TempFilePath(MainPackedFile);
    const Places p = Locate(packed_);
    // Windows deletes no read-only file.
    platform::ClearAttributes(packed);
    fs::remove(packed);
    WriteBytes(packed, Bytes(packed_.begin() + p.boot, packed_.begin() + p.main));
    EXPECT_EQ(state.ExpandImage(Image::Main), ImageOutcome::Failed);
    EXPECT_EQ(code, kIntegrityFileChanged);
    EXPECT_FALSE(fs::exists(TempFilePath(MainHexFile)));
    EXPECT_FALSE(fs::exists(packed));
    EXPECT_FALSE(state.UploadCheck());
}

} // namespace
} // namespace tollander::payload
