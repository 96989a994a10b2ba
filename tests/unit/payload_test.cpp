#include "payload/archive.h"
#include "payload/config_record.h"
#include "payload/integrity.h"
#include "payload/payload.h"
#include "platform/crypto/crypto.h"
#include "platform/fs/files.h"
#include "tests/unit/payload_fixture.h"
#include "tools/mkfirmware/sample_firmware.h"
#include "tools/pack/packer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace tollander::payload {
namespace {

using testing::ReadBytes;
using testing::ScratchWorld;
using testing::WriteBytes;
using testing::WriteText;
namespace fs = std::filesystem;

ConfigRecord ShippedRecord() {
    ConfigRecord r;
    r.BootLength = 9357;
    r.MainLength = 267866;
    r.BootModel = "xx166301";
    r.MainModel = "xx166301";
    r.BuiltFor = "International";
    r.Ati3Response = "Tollander";
    r.CountryFlags[4] = r.CountryFlags[7] = r.CountryFlags[12] = true;
    return r;
}

TEST(ConfigRecordTest, ShippedRecordParsesAndDumpsExactly) {
    const RawConfigRecord raw = EncodeConfigRecord(ShippedRecord());
    EXPECT_EQ(raw[0], 0x8D); // 9357 little-endian
    EXPECT_EQ(raw[1], 0x24);
    EXPECT_EQ(raw[offset::BootModel], 8);
    EXPECT_TRUE(std::all_of(raw.begin() + offset::Reserved, raw.begin() + offset::Language,
                            [](std::uint8_t b) { return b == 0; }));
    const std::vector<std::string> expected = {
        "Boot Length  = 9357",
        "Main Length  = 267866",
        "Boot Model   = xx166301",
        "Main Model   = xx166301",
        "Ignore Model = False",
        "Built For    = International",
        "ATI3 Response= Tollander",
        "Language     = English",
        "Countries    = U.K.NetherlandsBelgium",
    };
    EXPECT_EQ(DumpConfigRecord(ParseConfigRecord(raw)), expected);
}

TEST(ConfigRecordTest, DamagedFieldsAreReadSafely) {
    RawConfigRecord raw{};
    raw[offset::BootLength + 0] = 0xFF; // -1
    raw[offset::BootLength + 1] = 0xFF;
    raw[offset::BootLength + 2] = 0xFF;
    raw[offset::BootLength + 3] = 0xFF;
    raw[offset::BootModel] = 200; // length beyond capacity
    std::fill_n(raw.begin() + offset::BootModel + 1, 8, 'B');
    raw[offset::MainModel + 9 - 1] = 'Z'; // a byte beyond the length is not part of it
    raw[offset::MainModel] = 2;
    raw[offset::MainModel + 1] = 'a';
    raw[offset::MainModel + 2] = 'b';
    raw[offset::Ati3Response] = 50;
    for (int i = 0; i < 50; ++i)
        raw[offset::Ati3Response + 1 + i] = static_cast<std::uint8_t>('A' + i % 26);
    raw[offset::BuiltFor] = 255;
    raw[offset::Language] = 7;
    raw[offset::CountryFlags + 3] = 2;
    raw[offset::CountryFlags + 5] = 255;
    raw[offset::CountryFlags + 49] = 1;

    struct FlagCase {
        std::uint8_t byte;
        bool expected;
    };
    for (const FlagCase c : {FlagCase{0, false}, {1, true}, {2, false}, {255, false}}) {
        raw[offset::IgnoreModel] = c.byte;
        EXPECT_EQ(ParseConfigRecord(raw).IgnoreModel, c.expected) << int(c.byte);
    }

    const ConfigRecord r = ParseConfigRecord(raw);
    EXPECT_EQ(r.BootLength, -1);
    EXPECT_EQ(r.BootModel, "BBBBBBBB");
    EXPECT_EQ(r.MainModel, "ab");
    EXPECT_EQ(r.Ati3Response.size(), 49u);
    EXPECT_EQ(r.Ati3Response.back(), 'A' + 48 % 26);
    EXPECT_EQ(r.BuiltFor.size(), 50u);
    EXPECT_FALSE(r.CountryFlags[3]);
    EXPECT_FALSE(r.CountryFlags[5]);
    EXPECT_TRUE(r.CountryFlags[49]);
    const auto lines = DumpConfigRecord(r);
    EXPECT_EQ(lines[7], "Language     = ");
    EXPECT_EQ(lines[8], "Countries    = Undefined");
    // Apart and with their codes, for the reports that are read by people.
    EXPECT_EQ(CountryList(r.CountryFlags), "Undefined (49)");

    EXPECT_EQ(DumpConfigRecord(ParseConfigRecord(RawConfigRecord{}))[8], "Countries    = ");
    EXPECT_EQ(CountryList(ParseConfigRecord(RawConfigRecord{}).CountryFlags), "none");
}

TEST(ConfigRecordTest, CountryTable) {
    EXPECT_EQ(CountryName(0), "US/Canada");
    EXPECT_EQ(CountryName(11), "Czechoslovaki");
    EXPECT_EQ(CountryName(23), "Korea");
    for (int k = 24; k < kCountryCount; ++k)
        EXPECT_EQ(CountryName(k), "Undefined");
    for (int k = 0; k < kCountryCount; ++k)
        EXPECT_LE(CountryName(k).size(), 13u);
    EXPECT_EQ(CountryCode("netherlands"), 7);
    EXPECT_EQ(CountryCode("U.K."), 4);
    EXPECT_FALSE(CountryCode("Undefined"));
    EXPECT_FALSE(CountryCode("Atlantis"));
}

// Bytes of a flasher put together by hand: program, sound, images, record.
struct HandMade {
    std::vector<std::uint8_t> program = std::vector<std::uint8_t>(5000, 0x7F);
    std::vector<std::uint8_t> sound = tools::MakeAlertWav();
    std::vector<std::uint8_t> boot;
    std::vector<std::uint8_t> main;
    ConfigRecord record;

    void Write(const fs::path& path, bool fix_lengths = true) {
        if (fix_lengths) {
            record.BootLength = static_cast<std::int32_t>(boot.size());
            record.MainLength = static_cast<std::int32_t>(main.size());
        }
        std::vector<std::uint8_t> all = program;
        all.insert(all.end(), sound.begin(), sound.end());
        all.insert(all.end(), boot.begin(), boot.end());
        all.insert(all.end(), main.begin(), main.end());
        const RawConfigRecord raw = EncodeConfigRecord(record);
        all.insert(all.end(), raw.begin(), raw.end());
        WriteBytes(path, all);
    }
};

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return v;
}

// An archive of exactly `total` bytes (at least 60) holding valid Intel HEX:
// a body of literals only, eight to a flag byte, so every length can be made.
std::vector<std::uint8_t> HexArchive(std::size_t total, std::uint8_t seed) {
    std::size_t body = total - kHeaderSize;
    const bool lone_flag = body % 9 == 1; // no text length codes to this
    if (lone_flag) --body;
    std::size_t TextSize = body * 8 / 9;
    while (TextSize + (TextSize + 7) / 8 < body)
        ++TextSize;
    char record[32];
    std::snprintf(record, sizeof record, ":01000000%02X%02X\r\n", seed,
                  (0x100 - ((1 + seed) & 0xFF)) & 0xFF);
    std::string text;
    while (text.size() + 15 + 13 <= TextSize)
        text += record;
    text += ":00000001FF\r\n";
    text.resize(TextSize, '\n'); // line ends may follow the end
    ArchiveHeader header;
    header.file_name = "IMAGE.HEX";
    header.uncompressed_size = static_cast<std::int32_t>(text.size());
    header.body_size = static_cast<std::int32_t>(total - kHeaderSize);
    const auto head = EncodeHeader(header);
    std::vector<std::uint8_t> out(head.begin(), head.end());
    for (std::size_t at = 0; at < text.size(); at += 8) {
        out.push_back(0xFF);
        for (std::size_t i = at; i < std::min(at + 8, text.size()); ++i)
            out.push_back(static_cast<std::uint8_t>(text[i]));
    }
    if (lone_flag) out.push_back(0xFF);
    return out;
}

struct Recorder {
    std::vector<std::string> lines;
    std::vector<IntegrityResult> integrity;
    PayloadSink Sink() {
        return {[this](const std::string& l) { lines.push_back(l); },
                [this](const IntegrityResult& r) { integrity.push_back(r); }};
    }
};

class PayloadTest : public ScratchWorld {};

void StartUp(PayloadState& state) {
    state.DeleteTempFiles();
    state.ReadConfigRecord();
    state.ParseConfigRecord();
    state.ApplyConfigRecord();
    state.DeleteTempFiles();
}

TEST_F(PayloadTest, SampleFlasherRoundTrip) {
    const fs::path fw = Root() / "fw";
    fs::create_directory(fw);
    const std::string boot_hex = tools::MakeBootHex();
    const std::string main_hex = tools::MakeMainHex();
    WriteText(fw / tools::kBootHexName, boot_hex);
    WriteText(fw / tools::kMainHexName, main_hex);
    WriteBytes(fw / "program", std::vector<std::uint8_t>(3000, 0x90));

    tools::PackOptions o;
    o.output = (Root() / "flasher").string();
    o.program = (fw / "program").string();
    o.boot_hex = (fw / tools::kBootHexName).string();
    o.main_hex = (fw / tools::kMainHexName).string();
    o.boot_model = o.main_model = "xx166301";
    o.built_for = "International";
    o.family = "Tollander";
    o.countries = tools::ParseCountries("4,Netherlands,12");
    tools::Pack(o);
    const tools::Inspection inspected = tools::InspectFile(o.output);

    // Two whole runs: each leaves nothing behind.
    for (int run = 0; run < 2; ++run) {
        Recorder rec;
        PayloadState state(o.output, rec.Sink());
        StartUp(state);
        EXPECT_EQ(state.ModelCode1(), "xx166301");
        EXPECT_EQ(state.ModelCode2(), "xx166301");
        EXPECT_EQ(state.ModelFamily(), "Tollander");
        EXPECT_EQ(state.Language(), 0);
        EXPECT_EQ(state.Config().BuiltFor, "International");

        state.ExtractAlertSound();
        const auto sound = ReadBytes(TempFilePath(SoundFile));
        ASSERT_EQ(sound.size(), 27958u);
        EXPECT_TRUE(std::equal(sound.begin(), sound.begin() + 4, "RIFF"));
        EXPECT_EQ(sound, tools::MakeAlertWav());
        EXPECT_EQ(fs::status(TempFilePath(SoundFile)).permissions() & fs::perms::all,
                  fs::perms(0444));
        DeleteTempFile(SoundFile);

        struct Step {
            Image image;
            ImageOutcome extracted, expanded;
            const std::string* hex;
            const tools::ImageInfo* info;
        };
        for (const Step s : {Step{Image::Boot, ImageOutcome::Done, ImageOutcome::Done, &boot_hex, &inspected.boot},
                             Step{Image::Main, ImageOutcome::Done, ImageOutcome::Done, &main_hex, &inspected.main}}) {
            EXPECT_EQ(state.ExtractImage(s.image), s.extracted);
            // The boot step makes both images ready; the main step finds
            // its image expanded already.
            const fs::path boot_packed = TempFilePath(BootPackedFile);
            const fs::path main_packed = TempFilePath(MainPackedFile);
            if (s.image == Image::Boot) {
                EXPECT_EQ(boot_packed.parent_path(), Private());
                EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(boot_packed)),
                          state.Config().BootLength);
                EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(main_packed)),
                          state.Config().MainLength);
            }
            EXPECT_EQ(state.ExpandImage(s.image), s.expanded);
            EXPECT_FALSE(fs::exists(boot_packed));
            EXPECT_FALSE(fs::exists(main_packed));
            EXPECT_TRUE(fs::exists(TempFilePath(MainHexFile)));
            const fs::path hex = TempFilePath(state.CurrentHexFile());
            EXPECT_EQ(state.UploadSize(), static_cast<std::int32_t>(s.hex->size()));
            const auto text = ReadBytes(hex);
            EXPECT_TRUE(std::equal(text.begin(), text.end(), s.hex->begin(), s.hex->end()));
            EXPECT_EQ(fs::status(hex).permissions() & fs::perms::all, fs::perms(0444));
            // What --inspect reports is what the program itself unpacks.
            platform::Sha256 sha;
            sha.Update(text.data(), text.size());
            EXPECT_EQ(sha.FinishHex(), s.info->sha256);
            DeleteTempFile(state.CurrentHexFile());
        }
        ASSERT_EQ(rec.integrity.size(), 2u);
        EXPECT_TRUE(rec.integrity[0].passed);
        EXPECT_STREQ(rec.integrity[0].suffix, ".  (1)");
        EXPECT_STREQ(rec.integrity[1].suffix, ".  (2)");
        state.DeleteTempFiles();
        EXPECT_TRUE(Leftovers().empty()) << Leftovers().front();
    }
}

TEST_F(PayloadTest, ImagesOfWholeBlocksAreCopiedExactly) {
    HandMade f;
    f.boot = HexArchive(2 * kCopyBlockSize, 1);
    f.main = HexArchive(3 * kCopyBlockSize, 2);
    ASSERT_EQ(f.boot.size(), 2 * kCopyBlockSize);
    f.Write("exe");
    PayloadState state("exe");
    StartUp(state);
    EXPECT_EQ(state.ExtractImage(Image::Boot), ImageOutcome::Done);
    EXPECT_EQ(ReadBytes(TempFilePath(BootPackedFile)), f.boot);
    EXPECT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Done);
    EXPECT_EQ(ReadBytes(TempFilePath(MainPackedFile)), f.main);
    EXPECT_EQ(state.CurrentHexFile(), MainHexFile);
}

// The program's file is opened once, at start-up: another file put under
// its name later (a download finishing) is never read, and on Windows
// nobody writes into the file while it is held.
TEST_F(PayloadTest, TheProgramsFileIsReadOnlyThroughTheFileOpenedAtStartUp) {
    HandMade f;
    f.boot = HexArchive(300, 1);
    f.main = HexArchive(300, 2);
    f.Write("exe");
    f.main = HexArchive(300, 3); // same lengths, same record
    f.Write("other");
    PayloadState state("exe");
    StartUp(state);
#ifdef _WIN32
    EXPECT_FALSE(std::ofstream("exe", std::ios::binary | std::ios::app).is_open());
#endif
    fs::rename("exe", "moved");
    fs::rename("other", "exe");
    state.SetExePath("exe"); // as start-up does again after "Start Over"
    ASSERT_EQ(state.ExtractImage(Image::Boot), ImageOutcome::Done);
    ASSERT_EQ(state.ExpandImage(Image::Boot), ImageOutcome::Done);
    fs::remove("exe");
    ASSERT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Done);
    ASSERT_EQ(state.ExpandImage(Image::Main), ImageOutcome::Done);
    const auto text = ReadBytes(TempFilePath(MainHexFile));
    EXPECT_EQ(std::string(text.begin(), text.begin() + 13), ":0100000002FD");
    state.DeleteTempFiles();
}

TEST_F(PayloadTest, ShortOrMissingFileGivesTheZeroRecord) {
    Recorder rec;
    PayloadState state("absent", rec.Sink());
    state.SetDebugMode(true);
    EXPECT_FALSE(state.ReadConfigRecord());
    EXPECT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Failed);
    ASSERT_EQ(rec.integrity.size(), 1u);
    EXPECT_FALSE(rec.integrity[0].passed);
    EXPECT_EQ(rec.integrity[0].open_result, -1);
    state.ExtractAlertSound();
    EXPECT_TRUE(rec.lines.empty());

    WriteBytes("short", std::vector<std::uint8_t>(192, 1));
    state.SetExePath("short");
    EXPECT_FALSE(state.ReadConfigRecord());
    state.ParseConfigRecord();
    state.ApplyConfigRecord();
    EXPECT_EQ(state.RawRecord(), RawConfigRecord{});
    EXPECT_EQ(state.Language(), 0);
    EXPECT_EQ(state.ModelCode1(), "");
    EXPECT_EQ(state.ModelFamily(), "");
    EXPECT_FALSE(fs::exists(TempFilePath(ConfigTempFile)));

    // A good record is kept when a later read fails.
    HandMade f;
    f.main = Pattern(10, 3);
    f.record.Ati3Response = "Tollander";
    f.Write("exe");
    state.SetExePath("exe");
    EXPECT_TRUE(state.ReadConfigRecord());
    state.SetExePath("short");
    EXPECT_FALSE(state.ReadConfigRecord());
    state.ParseConfigRecord();
    EXPECT_EQ(state.Config().Ati3Response, "Tollander");
}

TEST_F(PayloadTest, DebugLinesGoToTheSink) {
    HandMade f;
    f.main = Pattern(100, 4);
    f.Write("exe");
    Recorder rec;
    PayloadState state("exe", rec.Sink());
    StartUp(state);
    state.ExtractAlertSound();
    EXPECT_TRUE(rec.lines.empty());
    DeleteTempFile(SoundFile);
    state.SetDebugMode(true);
    state.ExtractAlertSound();
    state.DumpConfigRecord();
    ASSERT_EQ(rec.lines.size(), 10u);
    EXPECT_EQ(rec.lines[0], "Extracting WAV file.");
    EXPECT_EQ(rec.lines[2], "Main Length  = 100");
}

TEST_F(PayloadTest, LengthsOutsideTheFileAreRefusedWithoutWriting) {
    struct Case {
        const char* what;
        std::int32_t boot, main;
    };
    const Case cases[] = {
        {"negative boot", -5, 100},
        {"negative main", 100, -1},
        {"boot before start", 1'000'000, 100},
        {"main before start", 0, 2'000'000'000},
        {"both huge", 2'000'000'000, 2'000'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HandMade f;
        f.boot = HexArchive(100, 5);
        f.main = HexArchive(100, 6);
        f.record.BootLength = c.boot;
        f.record.MainLength = c.main;
        f.Write("exe", false);
        Recorder rec;
        PayloadState state("exe", rec.Sink());
        StartUp(state);
        // A damaged record: the integrity check refuses either image.
        EXPECT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Failed);
        EXPECT_EQ(state.ExtractImage(Image::Boot), ImageOutcome::Failed);
        ASSERT_EQ(rec.integrity.size(), 2u);
        for (const IntegrityResult& r : rec.integrity) {
            EXPECT_FALSE(r.passed);
            EXPECT_EQ(r.open_result, kIntegrityRecordDamaged);
        }
        EXPECT_THROW(state.ExtractAlertSound(), platform::EInOutError);
        EXPECT_FALSE(fs::exists(TempFilePath(BootPackedFile)));
        EXPECT_FALSE(fs::exists(TempFilePath(SoundFile)));
        state.DeleteTempFiles();
    }
}

TEST_F(PayloadTest, StaleReadOnlyFilesAreRemovedAtStartUp) {
    const char* names[] = {SoundFile,   MainPackedFile, "c:\\~1~W~1~Z.$$$", "c:\\~1~W~1~X.$$$",
                           MainHexFile, BootPackedFile, BootHexFile};
    for (const char* name : names) {
        const std::string path = TempFilePath(name);
        WriteText(path, "stale");
        platform::SetReadOnly(path);
    }
    WriteText("unrelated", "kept");
    PayloadState state("absent");
    StartUp(state);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{"unrelated"});
}

TEST_F(PayloadTest, SymlinksAreRefusedAndNothingIsWrittenThroughThem) {
#ifdef _WIN32
    GTEST_SKIP() << "no symbolic links under Wine, and no owners or mode bits on Windows";
#else
    HandMade f;
    f.boot = HexArchive(300, 7);
    f.main = HexArchive(300, 8);
    f.Write("exe");
    const fs::path victim_dir = Root() / "victim";
    fs::create_directory(victim_dir);
    WriteText(victim_dir / "~1~Z~6~1.$$$", "precious");
    WriteText(victim_dir / "file", "precious");

    { // The private directory itself is a link (even the record's copy is
        // refused, and the first step ends).
        fs::create_directory_symlink(victim_dir, Private());
        PayloadState state("exe");
        EXPECT_THROW(StartUp(state), platform::EInOutError);
        EXPECT_EQ(ReadBytes(victim_dir / "file").size(), 8u);
        fs::remove(Private());
        StartUp(state);
        fs::remove(Private());
        fs::create_directory_symlink(victim_dir, Private());
        EXPECT_THROW(state.ExtractImage(Image::Main), platform::EInOutError);
        EXPECT_THROW(TempFilePath(MainHexFile), platform::EInOutError);
        EXPECT_EQ(ReadBytes(victim_dir / "~1~Z~6~1.$$$").size(), 8u);
        EXPECT_FALSE(fs::exists(victim_dir / "~1~Z~6~Z.$$$"));
        fs::remove(Private());
    }
    { // A link under one of the file names in the private directory.
        PayloadState state("exe");
        StartUp(state);
        fs::create_symlink(victim_dir / "file", TempFilePath(BootPackedFile));
        fs::create_symlink(victim_dir / "file", TempFilePath(SoundFile));
        EXPECT_THROW(state.ExtractImage(Image::Boot), platform::EInOutError);
        EXPECT_THROW(state.ExtractAlertSound(), platform::EInOutError);
        EXPECT_EQ(ReadBytes(victim_dir / "file").size(), 8u);
        // Clearing the attributes of a link leaves its target alone.
        fs::permissions(victim_dir / "file", fs::perms(0640));
        state.DeleteTempFiles();
        EXPECT_EQ(fs::status(victim_dir / "file").permissions() & fs::perms::all, fs::perms(0640));
        EXPECT_TRUE(fs::exists(victim_dir / "file"));
        EXPECT_FALSE(fs::is_symlink(TempFilePath(SoundFile)));
    }
    { // A directory someone opened up is closed again; one that is not
        // ours is refused.
        fs::permissions(Private(), fs::perms(0777));
        PayloadState state("exe");
        StartUp(state);
        EXPECT_EQ(state.ExtractImage(Image::Main), ImageOutcome::Done);
        EXPECT_EQ(fs::status(Private()).permissions() & fs::perms::all, fs::perms(0700));
        state.DeleteTempFiles();
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(Private().c_str(), 4242, 4242), 0);
            EXPECT_THROW(state.ExtractImage(Image::Main), platform::EInOutError);
            EXPECT_TRUE(fs::is_empty(Private()));
        }
    }
#endif
}

} // namespace
} // namespace tollander::payload
