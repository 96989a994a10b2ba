#include "app/catalogue.h"
#include "app_fakes.h"

#include <gtest/gtest.h>

using namespace tollander::app;
using tollander::app::testing::FormRig;

namespace {

constexpr int kGerman = 2, kFrench = 3, kItalian = 4, kSpanish = 5;

struct LineCase {
    const char* name;
    std::string line;
    std::string expected;
};

TEST(Catalogue, LinesInEachFormAndLanguage) {
    const LineCase cases[] = {
        {"German banner", FamilyLine("Tollander", MessageText(MsgInitialized, kGerman)),
         "Tollander ladeprogramm initialisiert..."},
        {"English banner", FamilyLine("Tollander", MessageText(MsgInitialized, kEnglish)),
         "Tollander flash utility initialized..."},
        {"Spanish complete", MessageText(MsgComplete, kSpanish), "Completo."},
        {"Italian complete", MessageText(MsgComplete, kItalian), "Completo."},
        {"French not needed, main code", SuffixedLine(MessageText(MsgUpdateNotNeeded, kFrench), 2),
         "Flash du code n\u00b01..  (2)"},
        {"boot integrity", SuffixedLine(MessageText(MsgIntegrityPassed, kEnglish), 1),
         "Flash data integrity check passed..  (1)"},
        {"failure code", CodeLine(MessageText(MsgIntegrityFailed, kEnglish), -1),
         "Flash data integrity check failed.  Failure code  -1"},
        {"numbered port 3", NumberedLine(MessageText(MsgNoDevice, kEnglish), 3),
         "No device present on COM3."},
        {"German numbered port 2", NumberedLine(MessageText(MsgEnteringFlashMode, kGerman), 2),
         "Programmierenzustand durch COMx angefangen2."},
        {"corrupt-on without number", MessageText(MsgCodeCorruptOn, kEnglish),
         "Modem code is corrupt on COM"},
        {"quotes kept", MessageText(MsgEnsureInstalled, kEnglish),
         "Ensure that you have your modem installed and press the \"Start Over\" button."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.line, c.expected) << c.name;
}

TEST(Catalogue, EveryMessageExistsInEveryLanguage) {
    for (int id = 1; id <= kMessageCount; ++id)
        for (int lang = 1; lang <= 5; ++lang)
            EXPECT_FALSE(MessageText(static_cast<MsgId>(id), lang).empty()) << id << "/" << lang;
    EXPECT_EQ(MessageText(MsgCodeMissingOn, kSpanish),
              "El codigo del modem no esta presente en COMx.");
}

TEST(Catalogue, LanguageOutsideOneToFiveIsARangeError) {
    for (int lang : {0, 6, 255, -1})
        EXPECT_THROW(MessageText(MsgComplete, lang), ERangeError);
}

TEST(Catalogue, LanguageFiveStopsTheRunAtTheFirstMessage) {
    FormRig rig;
    rig.payload->language_index = 6; // Language byte 5
    rig.RunStep(0);
    ASSERT_EQ(rig.front.messages.size(), 1u);
    EXPECT_EQ(rig.front.messages[0].first, "Range check error");
    EXPECT_EQ(rig.front.messages[0].second, MessageKind::Exception);
    EXPECT_TRUE(rig.form->Memo1().empty());
    EXPECT_EQ(rig.TheSequencer().StepNumber, 0);
    EXPECT_FALSE(rig.form->Timer1Enabled());
}

TEST(EventLog, LineBreaksInATextMakeSeveralLines) {
    FormRig rig;
    rig.form->LogLine("\r\nProg HEX\rdone\nend");
    EXPECT_EQ(rig.form->Memo1(), (std::vector<std::string>{"", "Prog HEX", "done", "end"}));
    EXPECT_EQ(rig.front.logged, rig.form->Memo1());
}

} // namespace
