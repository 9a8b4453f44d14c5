#include "tests/app/dialog_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace tessaro::testing {

FilterMatrix UnitFilter() { return FilterMatrix{{1.0}, {0.0}, {0.0}, {1.0}}; }

FilterMatrix RandomFilter(std::size_t taps, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> dist(0.0, 0.5 / std::sqrt(static_cast<double>(taps)));
    FilterMatrix m;
    for (auto* h : {&m.h1, &m.h2, &m.h3, &m.h4}) {
        h->resize(taps);
        for (auto& v : *h) v = dist(rng);
    }
    return m;
}

DialogHarness::DialogHarness(bool useSettings, int threads)
    : DialogHarness(DialogOptions{.useSettings = useSettings, .threads = threads}) {}

DialogHarness::DialogHarness(const DialogOptions& dialogOptions) : options(dialogOptions) {
    Restart();
}

DialogHarness::~DialogHarness() {
    if (dialog && dialog->Running()) WaitForRunEnd();
}

HiveRoot DialogHarness::SettingsRoot() const {
    return HiveRoot{HiveLocations{folder.File("machine"), folder.File("user")}};
}

void DialogHarness::Restart() {
    dialog.reset();
    options.settingsRoot = SettingsRoot();
    dialog = std::make_unique<CTessaroDlg>(toolkit, options);
    ASSERT_TRUE(dialog->OnInitDialog());
}

std::string DialogHarness::WriteConfig(const std::string& name, const FilterMatrix& filter,
                                       double rate, const std::string& label) {
    std::vector<double> columns;
    for (const auto* h : {&filter.h1, &filter.h2, &filter.h3, &filter.h4}) {
        columns.insert(columns.end(), h->begin(), h->end());
    }
    MatWriter writer;
    writer.Text("label", label).Double("SR", 1, 1, {rate}).Double("H", filter.Length(), 4, columns);
    const std::string path = folder.File(name);
    EXPECT_TRUE(writer.Write(path, MatWriteVersion::Level5));
    return path;
}

std::string DialogHarness::WriteStereoInput(const std::string& name,
                                            const std::vector<int16_t>& samples, uint32_t rate) {
    return WriteBytes(name, Stereo16WavImage(rate, samples));
}

std::string DialogHarness::WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = folder.File(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
}

void DialogHarness::Load(std::optional<std::string> path) {
    toolkit.QueueChoice(std::move(path));
    dialog->OnLoad();
}

void DialogHarness::Open(std::optional<std::string> path) {
    toolkit.QueueChoice(std::move(path));
    dialog->OnOpen();
}

void DialogHarness::SaveAs(std::optional<std::string> path) {
    toolkit.QueueChoice(std::move(path));
    dialog->OnSaveAs();
}

void DialogHarness::Select(const std::string& config, const std::string& input,
                           const std::string& output) {
    Load(config);
    Open(input);
    SaveAs(output);
}

void DialogHarness::Process() {
    dialog->StartRun();
    ASSERT_TRUE(WaitForRunEnd());
}

bool DialogHarness::WaitForRunEnd(int timeoutMs) {
    return toolkit.RunUntil([this] { return !dialog->Running(); }, timeoutMs);
}

std::vector<int16_t> ReadStereoSamples(const std::string& path) {
    const auto bytes = ReadFileBytes(path);
    // Walk the chunks behind "RIFF" size "WAVE".
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = LoadU32(bytes, at + 4);
        if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            const std::size_t end = std::min<std::size_t>(bytes.size(), at + 8 + size);
            std::vector<int16_t> samples((end - at - 8) / 2);
            std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

}  // namespace tessaro::testing
