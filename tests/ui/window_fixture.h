#pragma once
// The real window on the offscreen platform, with the modal windows it
// opens (message boxes, file choosers, the About box) answered in turn, and
// its files in a scratch folder.

#include <QPointer>
#include <QString>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/wav_fixture.h"
#include "ui/tessaro_window.h"

class QAbstractButton;

namespace tessaro::testing {

// What a modal window showed when it was answered.
struct SeenModal {
    QString className;
    QString title;
    QString text;
    int icon = 0;     // QMessageBox::Icon
    int buttons = 0;  // QMessageBox::StandardButtons
};

class WindowFixture {
public:
    WindowFixture();
    ~WindowFixture();

    // Answers for the modal windows to come, in order.
    void ThenChooseFile(const std::string& path);
    void ThenCancelChooser();
    void ThenPress(int standardButton);  // a QMessageBox::StandardButton
    void ThenCloseAbout();
    std::vector<SeenModal> Seen() const { return seen_; }
    // The chooser's settings as it showed them, for the last chooser answered.
    QStringList lastChooserFilters;
    bool lastChooserConfirmsOverwrite = true;
    QString lastChooserSuffix;

    // Runs the event loop until done holds; false after the timeout.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 120000);

    QWidget* Control(int id) const;
    void Click(int id);
    QString Text(int id) const;  // a field's or the log's text, a button's caption
    bool Enabled(int id) const { return Control(id)->isEnabled(); }

    // Files: a 65536-tap random filter and a stereo input long enough for a
    // run to be caught while it goes.
    std::string WriteConfig(const std::string& name, std::size_t taps = 65536);
    std::string WriteInput(const std::string& name, std::size_t frames);
    std::string Path(const std::string& name) const { return folder.File(name); }
    // Load, Open and Save As through the real choosers.
    void ChooseAll(const std::string& config, const std::string& input, const std::string& output);

    ScratchFolder folder;
    std::unique_ptr<ui::TessaroWindow> window;

private:
    void AnswerNext();

    std::deque<std::function<void(QWidget*)>> answers_;
    std::vector<SeenModal> seen_;
    QPointer<QWidget> answered_;
    QTimer poll_;
};

// The sizes an output WAV file's header states beside the file's real size:
// a finished file has riff + 8 == file and data + 56 == file.
struct WavSizes {
    uint64_t file = 0, riff = 0, data = 0;
};
WavSizes ReadWavSizes(const std::string& path);

}  // namespace tessaro::testing
