// tessaro: the desktop program, one dialog window.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "app/control_ids.h"
#include "app/messages.h"
#include "settings/registry_key.h"
#include "ui/app_icon.h"
#include "ui/tessaro_window.h"

namespace tessaro::ui {
namespace {

int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

// SIGTERM (the desktop session ending), SIGHUP and SIGINT end the program the
// way quitting does: a run stops at its next block and its output is
// finished. The handler only wakes the event loop.
void WatchTerminationSignals(QObject* context) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char drained[16];
        while (read(signalPipe[0], drained, sizeof drained) > 0) {
        }
        // Leaves every event loop, a message box's too.
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) sigaction(signal, &action, nullptr);
}

struct Options {
    DialogOptions dialog;
    std::string remember;
    std::string files[3];
    bool process = false;
    bool exitAfterRun = false;
};

std::string Absolute(const QString& path) {
    return std::filesystem::absolute(path.toStdString()).lexically_normal().string();
}

Options ParseOptions(const QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Filters a 16-bit stereo WAV file through the 2x2 FIR filter of a MAT configuration.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption stateDir(
        "state-dir", "Keep the remembered configuration in DIR instead of the machine-wide store.",
        "DIR");
    const QCommandLineOption remember(
        "remember", "Remember CONFIG.mat as the configuration to load at start-up.", "CONFIG.mat");
    const QCommandLineOption process("process", "Press Process once the window is open.");
    const QCommandLineOption exitAfterRun("exit-after-run",
                                          "Close the window when the run has ended.");
    parser.addOptions({stateDir, remember, process, exitAfterRun});
    parser.addPositionalArgument("files", "CONFIG.mat, INPUT.wav and OUTPUT.wav, chosen at start.",
                                 "[CONFIG.mat [INPUT.wav [OUTPUT.wav]]]");
    parser.process(app);

    Options options;
    if (parser.isSet(stateDir)) {
        options.dialog.settingsRoot = HiveRoot{HiveLocations{Absolute(parser.value(stateDir)), ""}};
    }
    if (parser.isSet(remember)) options.remember = Absolute(parser.value(remember));
    const QStringList files = parser.positionalArguments();
    if (files.size() > 3) parser.showHelp(2);
    for (qsizetype i = 0; i < files.size(); ++i) options.files[i] = Absolute(files[i]);
    options.process = parser.isSet(process);
    options.exitAfterRun = parser.isSet(exitAfterRun);
    return options;
}

void Remember(const Options& options) {
    RegistryKey key(RegistryKey::CreateMissing);
    if (!key.Open("Software\\Tessaro", options.dialog.settingsRoot)) {
        std::fprintf(stderr, "tessaro: cannot remember '%s': the settings cannot be written\n",
                     options.remember.c_str());
        return;
    }
    key.Value("MAT File").SetText(options.remember);
}

// --process and --exit-after-run: press Process once the window shows, and
// close it as Exit does once the run has ended.
void Automate(TessaroWindow& window, const Options& options) {
    if (!options.process) return;
    QTimer::singleShot(0, &window, [&window, exitAfterRun = options.exitAfterRun] {
        window.Logic().StartRun();
        if (!exitAfterRun) return;
        auto* poll = new QTimer(&window);
        QObject::connect(poll, &QTimer::timeout, &window, [&window, poll] {
            if (window.Logic().Running()) return;
            poll->stop();
            window.Logic().OnExit();
        });
        poll->start(10);
    });
}

int Run(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(message::AppName);
    QApplication::setApplicationVersion("1.0");
    QApplication::setDesktopFileName("tessaro");
    QApplication::setWindowIcon(ApplicationIcon());
    const Options options = ParseOptions(app);
    if (!options.remember.empty()) Remember(options);
    WatchTerminationSignals(&app);

    TessaroWindow window(options.dialog);
    if (!window.Initialise()) return 1;
    window.Select(options.files[0], options.files[1], options.files[2]);
    Automate(window, options);
    window.exec();
    window.Shutdown();
    return 0;
}

}  // namespace
}  // namespace tessaro::ui

int main(int argc, char** argv) {
    try {
        return tessaro::ui::Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaro: %s\n", error.what());
        return 1;
    }
}
