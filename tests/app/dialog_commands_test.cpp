#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/messages.h"
#include "tests/app/dialog_harness.h"

namespace tessaro::testing {
namespace {

using ::testing::ElementsAre;

std::vector<int16_t> Ramp(std::size_t frames) {
    std::vector<int16_t> samples(2 * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>((i * 37) % 20000 - 10000);
    }
    return samples;
}

struct ControlStates {
    bool load, open, saveAs, process, abort, clear, gain, exit;
};

ControlStates States(ScriptedToolkit& t) {
    return {t.Enabled(control::Load),    t.Enabled(control::Open),  t.Enabled(control::SaveAs),
            t.Enabled(control::Process), t.Enabled(control::Abort), t.Enabled(control::Clear),
            t.Enabled(control::Gain),    t.Enabled(control::Exit)};
}

void ExpectStates(ScriptedToolkit& t, ControlStates expected) {
    const ControlStates s = States(t);
    EXPECT_EQ(s.load, expected.load);
    EXPECT_EQ(s.open, expected.open);
    EXPECT_EQ(s.saveAs, expected.saveAs);
    EXPECT_EQ(s.process, expected.process);
    EXPECT_EQ(s.abort, expected.abort);
    EXPECT_EQ(s.clear, expected.clear);
    EXPECT_EQ(s.gain, expected.gain);
    EXPECT_EQ(s.exit, expected.exit);
}

TEST(DialogStartUp, ControlsAndSystemMenu) {
    DialogHarness h;
    ExpectStates(h.toolkit, {true, true, false, false, false, true, true, true});
    EXPECT_EQ(h.toolkit.Field(control::Gain), "0");
    EXPECT_EQ(h.dialog->GainLinear(), 1.0f);
    EXPECT_THAT(h.toolkit.systemMenu, ElementsAre("-", "16 &About Tessaro..."));
    h.dialog->OnSysCommand(0xF060 & 0xF);  // not the About item: nothing
    EXPECT_FALSE(h.toolkit.AboutShown());
    h.dialog->OnSysCommand(16 | 0x3);  // low four bits are ignored
    EXPECT_TRUE(h.toolkit.AboutShown());
    EXPECT_TRUE(h.toolkit.Field(control::ConfigFileName).empty());
}

TEST(DialogSelection, ProcessBecomesAvailableOnlyWithAllThree) {
    DialogHarness h;
    const auto config = h.WriteConfig("room.mat", UnitFilter());
    const auto input = h.WriteStereoInput("in.wav", Ramp(10));

    h.Load(config);
    EXPECT_TRUE(h.dialog->ConfigReady());
    EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), "File Name:     room.mat");
    EXPECT_EQ(h.toolkit.Field(control::ConfigLength), "Filter Length: 1 points");
    EXPECT_EQ(h.toolkit.Field(control::ConfigRate), "Sampling Rate: 44100 Hz");
    EXPECT_EQ(h.toolkit.Field(control::ConfigDescription), "Description:   test filter");
    EXPECT_FALSE(h.toolkit.Enabled(control::SaveAs));

    h.Open(input);
    EXPECT_EQ(h.toolkit.Field(control::InputPath), input);
    EXPECT_TRUE(h.toolkit.Enabled(control::SaveAs));
    EXPECT_FALSE(h.toolkit.Enabled(control::Process));

    h.SaveAs(h.Path("out.wav"));
    EXPECT_TRUE(h.dialog->OutputReady());
    EXPECT_TRUE(h.toolkit.Enabled(control::Process));

    // The choosers asked for what the dialog offers.
    const auto requests = h.toolkit.ChooserRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].filter, "MATLAB File(*.mat)|*.mat|");
    EXPECT_EQ(requests[0].defaultExtension, "mat");
    EXPECT_EQ(requests[1].filter, "Input Wave file(*.wav)|*.wav|");
    EXPECT_EQ(requests[2].filter, "Output Wave File(*.wav)|*.wav|");
    EXPECT_EQ(requests[2].mode, ChooserMode::Save);
}

TEST(DialogSelection, CancelKeepsTheEarlierChoice) {
    DialogHarness h;
    const auto input = h.WriteStereoInput("in.wav", Ramp(10));
    h.Open(input);
    h.Open(std::nullopt);
    EXPECT_TRUE(h.dialog->InputReady());
    EXPECT_EQ(h.toolkit.Field(control::InputPath), input);
    EXPECT_TRUE(h.toolkit.Messages().empty());
}

TEST(DialogSelection, SameNameOrSameFileIsRefused) {
    DialogHarness h;
    std::filesystem::create_directory(h.Path("a"));
    std::filesystem::create_directory(h.Path("b"));
    const auto config = h.WriteConfig("room.mat", UnitFilter());
    const auto input = h.WriteStereoInput("a/take.wav", Ramp(10));
    h.Load(config);
    h.Open(input);
    h.SaveAs(h.Path("b/take.wav"));  // same bare name, other folder
    EXPECT_FALSE(h.dialog->OutputReady());
    EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::SameFile));
    EXPECT_EQ(h.toolkit.Messages()[0].kind, MessageKind::OkPlain);

    // The input itself under another name: a link and a "./" path.
    h.toolkit.ClearMessages();
    std::filesystem::create_symlink(input, h.Path("link.wav"));
    h.SaveAs(h.Path("link.wav"));
    EXPECT_FALSE(h.dialog->OutputReady());
    h.SaveAs(h.Path("a/./take.wav"));
    EXPECT_FALSE(h.dialog->OutputReady());
    EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::SameFile, message::SameFile));
    EXPECT_FALSE(h.toolkit.Enabled(control::Process));
}

TEST(DialogSelection, EmptyNameIsRefused) {
    DialogHarness h;
    h.Open(h.folder.Path() + "/");
    EXPECT_FALSE(h.dialog->InputReady());
    ASSERT_EQ(h.toolkit.Messages().size(), 1u);
    EXPECT_EQ(h.toolkit.Messages()[0].text, message::EmptyField);
    EXPECT_EQ(h.toolkit.Messages()[0].kind, MessageKind::OkError);
}

TEST(DialogSelection, LongPathsAreKeptWhole) {
    DialogHarness h;
    std::string folder = h.folder.Path();
    for (int i = 0; i < 8; ++i) {
        folder += "/" + std::string(40, static_cast<char>('a' + i));
        std::filesystem::create_directory(folder);
    }
    const auto input = h.WriteBytes(folder.substr(h.folder.Path().size() + 1) + "/in.wav",
                                    Stereo16WavImage(44100, Ramp(10)));
    ASSERT_GT(input.size(), 300u);
    h.Open(input);
    EXPECT_TRUE(h.dialog->InputReady());
    EXPECT_EQ(h.toolkit.Field(control::InputPath), input);
}

TEST(DialogConfiguration, RefusedFileEmptiesTheEnginesAndFields) {
    DialogHarness h;
    const auto good = h.WriteConfig("good.mat", UnitFilter());
    MatWriter noLabel;
    noLabel.Double("SR", 1, 1, {44100}).Double("H", 1, 4, {1, 0, 0, 1});
    ASSERT_TRUE(noLabel.Write(h.Path("nolabel.mat"), MatWriteVersion::Level5));

    h.Load(good);
    ASSERT_TRUE(h.dialog->ConfigReady());
    h.Load(h.Path("nolabel.mat"));
    EXPECT_FALSE(h.dialog->ConfigReady());
    EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), "Invalid Configuration file");
    EXPECT_EQ(h.toolkit.Field(control::ConfigLength), "");
    EXPECT_EQ(h.toolkit.Field(control::ConfigRate), "");
    EXPECT_EQ(h.toolkit.Field(control::ConfigDescription), "");
    ASSERT_NE(h.dialog->Configuration(), nullptr);
    EXPECT_EQ(h.dialog->Configuration()->Label(), "Label is not found");
    EXPECT_TRUE(h.toolkit.Messages().empty());
}

TEST(DialogConfiguration, UnreadableFileGetsTheWarning) {
    DialogHarness h;
    const auto notMat = h.WriteBytes("text.mat", {'h', 'e', 'l', 'l', 'o'});
    h.Load(notMat);
    EXPECT_FALSE(h.dialog->ConfigReady());
    ASSERT_EQ(h.toolkit.Messages().size(), 1u);
    EXPECT_EQ(h.toolkit.Messages()[0].text, "Error! Failed to Open the MAT file!");
    EXPECT_EQ(h.toolkit.Messages()[0].kind, MessageKind::OkWarning);
    EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), "Invalid Configuration file");
}

TEST(DialogGain, InvalidTextKeepsThePreviousValue) {
    DialogHarness h;
    h.toolkit.SetFieldText(control::Gain, " -6 ");
    EXPECT_TRUE(h.dialog->UpdateGain());
    EXPECT_EQ(h.dialog->GainDb(), -6.0f);
    for (const char* bad : {"loud", "inf", "nan", "", "6 dB", "1e39"}) {
        h.toolkit.ClearMessages();
        h.toolkit.SetFieldText(control::Gain, bad);
        EXPECT_FALSE(h.dialog->UpdateGain()) << bad;
        EXPECT_EQ(h.dialog->GainDb(), -6.0f);
        EXPECT_EQ(h.toolkit.focusedControl, control::Gain);
        EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::EnterANumber));
    }
    EXPECT_EQ(h.dialog->GainLinear(), GainFromDb(-6.0f));
}

TEST(DialogExit, WithoutARunClosesAtOnce) {
    DialogHarness h;
    h.dialog->OnExit();
    EXPECT_EQ(h.toolkit.Ended(), DialogResult::Ok);

    DialogHarness cancelled;
    cancelled.toolkit.SetFieldText(control::Gain, "x");  // not read back on cancel
    cancelled.dialog->OnCancel();
    EXPECT_EQ(cancelled.toolkit.Ended(), DialogResult::Cancel);

    DialogHarness invalid;
    invalid.toolkit.SetFieldText(control::Gain, "x");
    invalid.dialog->OnExit();
    EXPECT_FALSE(invalid.toolkit.Ended().has_value());
}

TEST(DialogSettings, RemembersTheLastGoodConfiguration) {
    DialogHarness h(true);
    const auto config = h.WriteConfig("room.mat", UnitFilter());
    h.Load(config);
    ASSERT_TRUE(h.dialog->ConfigReady());
    const auto refused = h.WriteBytes("bad.mat", {1, 2, 3});
    h.Load(refused);  // does not replace the remembered path
    ASSERT_FALSE(h.dialog->ConfigReady());

    h.Restart();
    EXPECT_TRUE(h.dialog->ConfigReady());
    EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), "File Name:     room");
}

TEST(DialogSettings, WithoutSettingsNothingIsRemembered) {
    DialogHarness h(false);
    h.Load(h.WriteConfig("room.mat", UnitFilter()));
    h.Restart();
    EXPECT_FALSE(h.dialog->ConfigReady());
    EXPECT_FALSE(std::filesystem::exists(h.Path("machine")));
    EXPECT_FALSE(std::filesystem::exists(h.Path("user")));
}

}  // namespace
}  // namespace tessaro::testing
