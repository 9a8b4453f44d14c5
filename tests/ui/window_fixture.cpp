#include "tests/ui/window_fixture.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <random>

#include "app/control_ids.h"
#include "tests/support/mat_writer.h"
#include "ui/about_box.h"

namespace tessaro::testing {

WindowFixture::WindowFixture() {
    DialogOptions options;
    options.useSettings = false;
    window = std::make_unique<ui::TessaroWindow>(options);
    EXPECT_TRUE(window->Initialise());
    window->show();
    window->activateWindow();
    // Shortcuts (F1) reach only the active window.
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QObject::connect(&poll_, &QTimer::timeout, [this] { AnswerNext(); });
    poll_.start(5);
}

WindowFixture::~WindowFixture() {
    poll_.stop();
    window.reset();
}

void WindowFixture::AnswerNext() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == answered_ || answers_.empty()) return;
    answered_ = modal;
    SeenModal seen{modal->metaObject()->className(), modal->windowTitle(), {}, 0, 0};
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = static_cast<int>(box->standardButtons());
    }
    seen_.push_back(seen);
    auto answer = std::move(answers_.front());
    answers_.pop_front();
    answer(modal);
}

void WindowFixture::ThenChooseFile(const std::string& path) {
    answers_.push_back([this, path](QWidget* modal) {
        auto* chooser = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(chooser, nullptr) << modal->metaObject()->className();
        lastChooserFilters = chooser->nameFilters();
        lastChooserConfirmsOverwrite = !chooser->testOption(QFileDialog::DontConfirmOverwrite);
        lastChooserSuffix = chooser->defaultSuffix();
        chooser->selectFile(QString::fromStdString(path));
        // Pressing the chooser's own button goes through its checks.
        QMetaObject::invokeMethod(chooser, "accept");
    });
}

void WindowFixture::ThenCancelChooser() {
    answers_.push_back([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
}

void WindowFixture::ThenPress(int standardButton) {
    answers_.push_back([standardButton](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr) << modal->metaObject()->className();
        QAbstractButton* button =
            box->button(static_cast<QMessageBox::StandardButton>(standardButton));
        ASSERT_NE(button, nullptr);
        button->click();
    });
}

void WindowFixture::ThenCloseAbout() {
    answers_.push_back([](QWidget* modal) {
        ASSERT_NE(dynamic_cast<ui::AboutBox*>(modal), nullptr);
        modal->findChild<QPushButton*>("1")->click();
    });
}

bool WindowFixture::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

QWidget* WindowFixture::Control(int id) const {
    QWidget* widget = window->findChild<QWidget*>(QString::number(id));
    EXPECT_NE(widget, nullptr) << id;
    return widget;
}

void WindowFixture::Click(int id) {
    auto* button = qobject_cast<QPushButton*>(Control(id));
    ASSERT_NE(button, nullptr) << id;
    button->click();
}

QString WindowFixture::Text(int id) const {
    QWidget* widget = Control(id);
    if (auto* field = qobject_cast<QLineEdit*>(widget)) return field->text();
    if (auto* log = qobject_cast<QPlainTextEdit*>(widget)) return log->toPlainText();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
    return {};
}

std::string WindowFixture::WriteConfig(const std::string& name, std::size_t taps) {
    std::mt19937 rng(7);
    std::normal_distribution<double> tap(0.0, 0.3 / std::sqrt(static_cast<double>(taps)));
    std::vector<double> columns(4 * taps);
    for (double& value : columns) value = tap(rng);
    MatWriter writer;
    writer.Text("label", "window test").Double("SR", 1, 1, {44100}).Double("H", taps, 4, columns);
    const std::string path = folder.File(name);
    EXPECT_TRUE(writer.Write(path, MatWriteVersion::Level5));
    return path;
}

std::string WindowFixture::WriteInput(const std::string& name, std::size_t frames) {
    std::vector<int16_t> samples(2 * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(8000.0 * std::sin(0.001 * static_cast<double>(i)));
    }
    const std::string path = folder.File(name);
    EXPECT_TRUE(WriteFileBytes(path, Stereo16WavImage(44100, samples)));
    return path;
}

void WindowFixture::ChooseAll(const std::string& config, const std::string& input,
                              const std::string& output) {
    ThenChooseFile(config);
    Click(control::Load);
    ThenChooseFile(input);
    Click(control::Open);
    ThenChooseFile(output);
    Click(control::SaveAs);
}

WavSizes ReadWavSizes(const std::string& path) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    WavSizes sizes;
    sizes.file = bytes.size();
    if (bytes.size() < 56) return sizes;
    sizes.riff = LoadU32(bytes, 4);
    sizes.data = LoadU32(bytes, 52);
    return sizes;
}

}  // namespace tessaro::testing
