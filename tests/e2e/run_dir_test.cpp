// Console flashers as users start them: several side by side, each with its
// own firmware and its own modem; an ordinary user starting one from a
// directory it cannot write; a run killed in the middle of an upload and
// the run after it. Each run keeps its temporary files in a directory of its
// own, so each modem receives exactly its own images.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/fixture.h"
#include "tools/mkfirmware/sample_firmware.h"

namespace tollander::e2e {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

// The flasher with `modem` as its COM1 and no other port.
std::vector<std::string> OnCom1(const VModem& modem, const std::string& flasher) {
    return {"/usr/bin/env",    "TOLLANDER_COM1=" + modem.Device(),
            "TOLLANDER_COM2=", "TOLLANDER_COM3=",
            "TOLLANDER_COM4=", flasher};
}

struct Firmware {
    std::string boot;
    std::string main;
};

class RunDirectories : public E2eTest {
protected:
    // Valid boot and main code of flasher n, different for every n.
    Firmware MakeFirmware(int n) {
        const Firmware fw{dir_ + "/boot" + std::to_string(n) + ".hex",
                          dir_ + "/main" + std::to_string(n) + ".hex"};
        const auto seed = static_cast<std::uint32_t>(n);
        std::ofstream(fw.boot, std::ios::binary)
            << tools::MakeIntelHex(tools::kBootHexSize, 0xF000, 0x10000 + seed);
        std::ofstream(fw.main, std::ios::binary)
            << tools::MakeIntelHex(tools::kMainHexSize, 0x1000, 0x20000 + seed);
        return fw;
    }

    std::string Console(const Firmware& fw = {}) {
        PackConfig config;
        config.boot_hex = fw.boot;
        config.main_hex = fw.main;
        return PackFlasher(config, BinDir() + "/tollander-flash-console");
    }

    // A modem that compares what it receives with the given images.
    std::unique_ptr<VModem> ModemExpecting(const Firmware& fw, std::vector<std::string> more = {}) {
        more.insert(more.end(), {"--expect", fw.boot, "--expect", fw.main});
        return std::make_unique<VModem>(dir_, ++next_modem_, more);
    }

    // The modem received exactly these two images, and nothing else.
    static void ExpectReceived(VModem& modem, const Firmware& fw) {
        ASSERT_EQ(modem.SavedImages(), 2);
        EXPECT_TRUE(modem.SavedImage(1) == ReadFile(fw.boot));
        EXPECT_TRUE(modem.SavedImage(2) == ReadFile(fw.main));
        EXPECT_EQ(modem.Stop(), 0) << "an image differed from --expect";
    }

    // Flashers of their own firmware, each against its own modem, the first
    // `staggered` of them each started once the one before has begun.
    void FlashSideBySide(int count, bool staggered) {
        std::vector<Firmware> firmware;
        std::vector<std::unique_ptr<VModem>> modems;
        std::vector<std::unique_ptr<Child>> runs;
        for (int n = 1; n <= count; ++n) {
            firmware.push_back(MakeFirmware(n));
            modems.push_back(ModemExpecting(firmware.back()));
        }
        for (int n = 0; n < count; ++n) {
            if (staggered && n > 0) {
                ASSERT_TRUE(runs.back()->WaitFor(std::regex("initialized"), 60s))
                    << runs.back()->Output();
            }
            runs.push_back(
                std::make_unique<Child>(OnCom1(*modems[n], Console(firmware[n])), "f\n"));
        }
        for (int n = 0; n < count; ++n) {
            SCOPED_TRACE("flasher " + std::to_string(n + 1));
            EXPECT_EQ(runs[n]->Finish(240s), 0) << runs[n]->Output();
            ExpectReceived(*modems[n], firmware[n]);
        }
        // Every run directory is gone, and nothing went to the current one.
        EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    }

    int next_modem_ = 100;
};

TEST_F(RunDirectories, TwoFlashersStartedOneAfterTheOtherEachSendTheirOwnImages) {
    FlashSideBySide(2, true);
}

TEST_F(RunDirectories, FourFlashersAtOnceEachSendTheirOwnImages) {
    FlashSideBySide(4, false);
}

TEST_F(RunDirectories, AnOrdinaryUserFlashesFromADirectoryItCannotWrite) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "switching to an ordinary user (setpriv) needs root; run as root";
    const Firmware fw = MakeFirmware(1);
    const std::string flasher = Console(fw);
    // A place the user can reach (the test's own directory is root's): the
    // flasher, a directory it may not write to start from, and its own
    // runtime, state, home and temporary directories.
    std::string place = (fs::temp_directory_path() / "tollander-user-XXXXXX").string();
    ASSERT_NE(::mkdtemp(place.data()), nullptr);
    struct Remove {
        std::string path;
        ~Remove() { fs::remove_all(path); }
    } remove{place};
    fs::permissions(place, fs::perms(0755));
    fs::copy_file(flasher, place + "/flasher");
    fs::permissions(place + "/flasher", fs::perms(0755));
    fs::create_directory(place + "/locked");
    fs::permissions(place + "/locked", fs::perms(0555));
    for (const char* sub : {"runtime", "state", "home", "tmp"}) {
        fs::create_directory(place + "/" + sub);
        ASSERT_EQ(::chown((place + "/" + sub).c_str(), kNobody, kNobody), 0);
        fs::permissions(place + "/" + sub, fs::perms(0700));
    }
    auto modem = ModemExpecting(fw);
    ASSERT_EQ(::chown(modem->Device().c_str(), kNobody, kNobody), 0);

    Child run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
               "/usr/bin/env", "-i", "-C", place + "/locked",
               "XDG_RUNTIME_DIR=" + place + "/runtime", "XDG_STATE_HOME=" + place + "/state",
               "HOME=" + place + "/home", "TMPDIR=" + place + "/tmp",
               "TOLLANDER_COM1=" + modem->Device(),
               "TOLLANDER_COM2=", "TOLLANDER_COM3=", "TOLLANDER_COM4=", place + "/flasher"},
              "f\n");
    EXPECT_EQ(run.Finish(240s), 0) << run.Output();
    ExpectReceived(*modem, fw);
    EXPECT_EQ(Names(place + "/locked"), std::vector<std::string>{});
    EXPECT_EQ(Names(place + "/runtime/tollander-flash"), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(place + "/state/tollander-flash/runs.log")) << run.Output();
}

TEST_F(RunDirectories, ARunKilledMidUploadIsCleanedUpByTheNextWhichFlashes) {
    const Firmware fw{FirmwareDir() + "/FLS0228.HEX", FirmwareDir() + "/F2ZE0529.HEX"};
    const std::string flasher = Console();
    const fs::path base = fs::path(dir_) / "tollander-flash";
    {
        // A slow line keeps the boot code's upload going long after its
        // first block.
        VModem slow(dir_, ++next_modem_, {"--rate", "2000"});
        Child killed(OnCom1(slow, flasher), "f\n");
        ASSERT_TRUE(killed.WaitFor(std::regex(R"(Boot code \(1\): [1-9])"), 120s))
            << killed.Output();
        killed.Kill();
        const auto left = Names(base);
        ASSERT_EQ(left.size(), 1u);
        // Both images were made ready before the boot loader was entered.
        auto files = Names(base / left.front());
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::string>{"~1~Z~6~2.$$$", "~1~Z~6~X.$$$"}));
    }
    auto modem = ModemExpecting(fw);
    Child next(OnCom1(*modem, flasher), "f\n");
    EXPECT_EQ(next.Finish(240s), 0) << next.Output();
    ExpectReceived(*modem, fw);
    EXPECT_EQ(Names(base), std::vector<std::string>{});
}

} // namespace
} // namespace tollander::e2e
