#pragma once
// The dialog's toolkit on a terminal: message-box texts and the error texts
// put into fields go to standard error, the log is kept for standard output,
// choosers answer with the paths given on the command line, and tasks posted
// to the dialog thread run in the main thread's loop.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/toolkit.h"

namespace tessaro {

class ConsoleToolkit : public DialogToolkit {
public:
    // showProgress: draw a progress bar with the live levels on stderr.
    explicit ConsoleToolkit(bool showProgress);

    // The path the next file chooser returns.
    void SetNextChoice(std::string path);

    // Runs posted tasks until done() holds.
    void RunUntil(const std::function<bool()>& done);

    // Ends the progress line, if one is drawn.
    void FinishProgress();

    // How many messages and field errors have gone to stderr so far; a step
    // that refused without raising it has not told the user why.
    int ErrorsWritten();

    bool ControlEnabled(int id);

    MessageAnswer ShowMessage(const std::string& text, MessageKind kind) override;
    void SetFieldText(int id, const std::string& text) override;
    std::string FieldText(int id) override;
    void EnableControl(int id, bool enabled) override;
    void RepaintNow(int id) override;
    void FocusControl(int id) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPosition(int position) override;
    std::string LogText() override;
    void SetLogText(const std::string& text) override;
    int LogLineCount() override;
    void ScrollLog(int lines) override;
    void SetLogReadOnly(bool readOnly) override;
    void SelectAllLog() override;
    void ScrollLogToSelection() override;
    void DeleteLogSelection() override;
    std::optional<std::string> ChooseFile(const FileChooserRequest& request) override;
    void AppendSystemMenuSeparator() override;
    void AppendSystemMenuItem(int id, const std::string& text) override;
    void SetIcon() override;
    void ShowAboutBox() override;
    void EndDialog(DialogResult result) override;
    void PostToDialogThread(std::function<void()> task) override;
    void ServeWorkerCalls(int timeoutMs) override;

private:
    void RunPosted(int timeoutMs);
    void DrawProgress();                       // with mutex_ held
    void WriteError(const std::string& text);  // with mutex_ held

    const bool showProgress_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
    std::map<int, std::string> fields_;
    std::map<int, bool> enabled_;
    std::optional<std::string> nextChoice_;
    std::string log_;
    int progress_ = 0;
    bool progressDrawn_ = false;
    int errorsWritten_ = 0;
};

}  // namespace tessaro
