// Faults found by driving the dialog as a window does: what happens around
// a run's end, during a run, and with selections that were refused.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>

#include "app/messages.h"
#include "settings/registry_key.h"
#include "tests/app/dialog_harness.h"

namespace tessaro::testing {
namespace {

std::vector<int16_t> Noise(std::size_t frames, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> sample(-8000, 8000);
    std::vector<int16_t> samples(2 * frames);
    for (auto& s : samples) s = static_cast<int16_t>(sample(rng));
    return samples;
}

// The run ends while the Exit question is open (its modal loop runs the
// run-end steps); the Yes that follows must still close the dialog.
TEST(DialogExitFault, YesAfterTheRunEndedStillCloses) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteStereoInput("in.wav", Noise(10, 1)),
             h.Path("out.wav"));
    h.toolkit.QueueAnswer(MessageAnswer::Yes);
    h.toolkit.OnMessage([&](const std::string& text) {
        if (text == message::ConfirmExit) h.WaitForRunEnd();
    });
    h.dialog->StartRun();
    h.dialog->OnExit();
    EXPECT_FALSE(h.dialog->Running());
    EXPECT_EQ(h.toolkit.Ended(), DialogResult::Cancel);
}

TEST(DialogGainFault, GainIsFixedForTheWholeRun) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", RandomFilter(4096, 3)),
             h.WriteStereoInput("in.wav", Noise(200 * 4096, 2)), h.Path("out.wav"));
    h.dialog->StartRun();
    h.toolkit.SetFieldText(control::Gain, "-12");
    EXPECT_TRUE(h.dialog->UpdateGain());
    h.toolkit.SetFieldText(control::Gain, "not a number");
    EXPECT_TRUE(h.dialog->UpdateGain());  // no box during a run
    ASSERT_TRUE(h.WaitForRunEnd());
    EXPECT_EQ(h.dialog->GainDb(), 0.0f);
    EXPECT_TRUE(h.toolkit.MessageTexts().empty());
    EXPECT_NE(h.toolkit.LogText().find("Gain Setting:   0.00 dB"), std::string::npos);
}

// A refused output name must not block an input of that name later.
TEST(DialogSelectionFault, RefusedChoiceDoesNotCountAsTheOtherFile) {
    DialogHarness h;
    std::filesystem::create_directory(h.Path("a"));
    h.Load(h.WriteConfig("room.mat", UnitFilter()));
    h.Open(h.WriteStereoInput("take.wav", Noise(10, 1)));
    h.SaveAs(h.Path("a/take.wav"));  // refused: the input's name
    ASSERT_FALSE(h.dialog->OutputReady());
    h.toolkit.ClearMessages();
    h.Open(h.WriteStereoInput("a/take.wav", Noise(10, 1)));
    EXPECT_TRUE(h.dialog->InputReady());
    EXPECT_TRUE(h.toolkit.MessageTexts().empty());
}

TEST(DialogSelectionFault, OutputThatIsTheConfigurationIsRefused) {
    DialogHarness h;
    const auto config = h.WriteConfig("room.mat", UnitFilter());
    const auto before = ReadFileBytes(config);
    h.Load(config);
    h.Open(h.WriteStereoInput("in.wav", Noise(10, 1)));
    std::filesystem::create_symlink(config, h.Path("link.wav"));
    h.SaveAs(h.Path("link.wav"));
    EXPECT_FALSE(h.dialog->OutputReady());
    EXPECT_THAT(h.toolkit.MessageTexts(), ::testing::ElementsAre(message::SameFile));
    EXPECT_EQ(ReadFileBytes(config), before);
}

TEST(DialogSettingsFault, PathTooLongToStoreWholeIsNotRemembered) {
    DialogHarness h(true);
    const auto shortPath = h.WriteConfig("room.mat", UnitFilter());
    h.Load(shortPath);
    std::string folder = h.Path("");
    while (folder.size() < RegistryValue::TextCapacity) {
        folder += std::string(200, 'd') + "/";
        std::filesystem::create_directory(folder);
    }
    const auto longPath =
        h.WriteConfig(folder.substr(h.Path("").size()) + "long.mat", UnitFilter());
    h.Load(longPath);
    ASSERT_TRUE(h.dialog->ConfigReady());
    h.Restart();
    // The earlier path stays; a cut one would fail to load.
    EXPECT_EQ(h.dialog->Configuration()->Length(), 1);
    EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), "File Name:     room");
}

// The remembered configuration is gone, or is no longer a file that can be
// read, when the program starts: the user is told, the dialog starts without
// a configuration, and another one can be loaded.
TEST(DialogSettingsFault, RememberedConfigurationThatCannotBeReadAtStartUp) {
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> faults = {
        {"removed", [](const std::string& path) { std::filesystem::remove(path); }},
        {"a folder now",
         [](const std::string& path) {
             std::filesystem::remove(path);
             std::filesystem::create_directory(path);
         }},
        {"unreadable", [](const std::string& path) { chmod(path.c_str(), 0); }},
    };
    for (const auto& [name, fault] : faults) {
        SCOPED_TRACE(name);
        // Permissions do not stop the superuser.
        if (name == "unreadable" && geteuid() == 0) continue;
        DialogHarness h(true);
        const auto config = h.WriteConfig("room.mat", UnitFilter());
        h.Load(config);
        ASSERT_TRUE(h.dialog->ConfigReady());
        fault(config);
        h.toolkit.ClearMessages();
        h.Restart();
        EXPECT_THAT(h.toolkit.MessageTexts(),
                    ::testing::ElementsAre("Error! Failed to Open the MAT file!"));
        EXPECT_FALSE(h.dialog->ConfigReady());
        EXPECT_EQ(h.toolkit.Field(control::ConfigFileName), message::InvalidConfiguration);
        h.Open(h.WriteStereoInput("in.wav", Noise(10, 1)));
        h.SaveAs(h.Path("out.wav"));
        EXPECT_FALSE(h.toolkit.Enabled(control::Process));
        h.Load(h.WriteConfig("other.mat", UnitFilter()));
        EXPECT_TRUE(h.dialog->ConfigReady());
        EXPECT_TRUE(h.toolkit.Enabled(control::Process));
    }
}

// Tear-down during a run: the worker is stopped, its calls and run-end task
// are served, and the output is a finished file of whole blocks.
TEST(DialogShutdown, StopsTheRunAndFinishesTheOutput) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", RandomFilter(20000, 2)),
             h.WriteStereoInput("in.wav", Noise(400 * 4096, 4)), h.Path("out.wav"));
    h.dialog->StartRun();
    h.dialog->Shutdown();
    EXPECT_FALSE(h.dialog->Running());
    EXPECT_TRUE(h.toolkit.ShutdownServed());
    EXPECT_EQ(h.dialog->LastRunStatus(), RunAborted);
    const auto out = ReadFileBytes(h.Path("out.wav"));
    ASSERT_GE(out.size(), 56u);
    EXPECT_EQ(out.size(), 56u + LoadU32(out, 52));
    EXPECT_EQ(LoadU32(out, 4) + 8, out.size());
}

// A full disk: the failed write and the failed run are each told once, not
// the write again when the output is closed at the run's end.
TEST(DialogWriteFault, FullDiskShowsTwoBoxes) {
    DialogHarness h;
    const std::string disk = h.Path("disk");
    std::filesystem::create_directory(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=128k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    h.Select(h.WriteConfig("room.mat", UnitFilter()),
             h.WriteStereoInput("in.wav", Noise(40 * 4096, 4)), disk + "/out.wav");
    h.Process();
    umount2(disk.c_str(), MNT_DETACH);
    EXPECT_THAT(h.toolkit.MessageTexts(),
                ::testing::ElementsAre(message::WriteFailed, message::ProcessFailed));
}

}  // namespace
}  // namespace tessaro::testing
