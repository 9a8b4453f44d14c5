#pragma once
// A DialogToolkit for tests: records every call, keeps field texts and
// enabling like a window would, and answers choosers and Yes/No prompts from
// a script. Calls from the worker thread are safe.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/toolkit.h"

namespace tessaro::testing {

struct ShownMessage {
    std::string text;
    MessageKind kind;
};

class ScriptedToolkit : public DialogToolkit {
public:
    // Script.
    void QueueChoice(std::optional<std::string> path);  // nullopt: cancel
    void QueueAnswer(MessageAnswer answer);             // for the next Yes/No prompts
    // Called when a message is shown (on the calling thread), e.g. to act
    // while a run waits for the user.
    void OnMessage(std::function<void(const std::string&)> hook);

    // What the window shows.
    std::string Field(int id);
    bool Enabled(int id);  // controls start enabled
    int ProgressPosition();
    std::vector<int> ProgressHistory();
    std::vector<ShownMessage> Messages();
    std::vector<std::string> MessageTexts();
    void ClearMessages();
    bool LogReadOnly();
    bool AboutShown();
    std::optional<DialogResult> Ended();
    std::vector<FileChooserRequest> ChooserRequests();

    // Runs the tasks posted to the dialog thread; waits up to the timeout for
    // at least one when none is pending. Returns how many ran.
    int RunPosted(int timeoutMs = 0);
    // Runs posted tasks until the predicate holds or the timeout passes.
    bool RunUntil(const std::function<bool()>& done, int timeoutMs = 60000);

    // DialogToolkit.
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

    // True once the dialog has waited for a stopping worker.
    bool ShutdownServed();

    std::vector<std::string> systemMenu;
    int focusedControl = 0;
    int repaintCount = 0;

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::map<int, std::string> fields_;
    std::map<int, bool> enabled_;
    std::vector<int> progress_;
    std::vector<ShownMessage> messages_;
    std::deque<std::optional<std::string>> choices_;
    std::deque<MessageAnswer> answers_;
    std::vector<FileChooserRequest> requests_;
    std::function<void(const std::string&)> messageHook_;
    std::deque<std::function<void()>> tasks_;
    std::string log_;
    bool logReadOnly_ = true;
    bool logSelected_ = false;
    bool aboutShown_ = false;
    bool shuttingDown_ = false;
    std::optional<DialogResult> ended_;
};

}  // namespace tessaro::testing
