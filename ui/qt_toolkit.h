#pragma once
// The dialog's toolkit over Qt widgets.
//
// Threads: every widget is touched on the GUI thread only. A call from the
// worker is queued in order and carried out there; calls that return
// something (texts, line counts, message boxes) wait for their answer, and
// the others return at once, which keeps a block's dozen updates from
// costing a dozen thread switches. Field texts and the progress position
// are not queued: the worker leaves the latest of each, and the GUI thread
// shows them as often as it can draw, before any later queued call, so a
// slow display never slows the run. Past a short backlog of queued calls
// the worker waits until the GUI thread has caught up.

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "app/control_ids.h"
#include "app/toolkit.h"

class QWidget;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;

namespace tessaro::ui {

class QtToolkit : public QObject, public DialogToolkit {
public:
    // window: the dialog the controls, boxes and choosers belong to.
    explicit QtToolkit(QWidget* window);
    ~QtToolkit() override;

    // The control with this id; the toolkit reaches it by id from now on.
    void AddControl(int id, QWidget* widget);
    QWidget* Control(int id) const;

    // Called with the id of a system-menu item when the user picks it.
    void SetMenuHandler(std::function<void(int)> handler);
    // Called when the dialog logic ends the dialog.
    void SetEndHandler(std::function<void(DialogResult)> handler);
    // The next file chooser returns this path without asking (files given on
    // the command line).
    void SetNextChoice(std::string path);
    const QIcon& Icon() const { return icon_; }

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

protected:
    bool event(QEvent* event) override;

private:
    // Runs call on the GUI thread: directly when already there, otherwise
    // queued behind earlier calls, waiting for it when wait is true.
    void OnGuiThread(std::function<void()> call, bool wait);
    // Queues call for the GUI thread, even from the GUI thread itself.
    void Enqueue(std::function<void()> call, bool wait);
    template <typename Result>
    Result AskGuiThread(const std::function<Result()>& question);
    // Carries out the queued calls, then repaints what they asked for.
    void DrainQueue();
    void PostDrainLocked();  // with mutex_ held

    // What the worker left to show: the latest text of each field and the
    // latest progress position.
    struct DisplayUpdate {
        std::map<int, std::string> texts;
        std::optional<int> progress;
    };
    void ShowDisplayUpdate(const DisplayUpdate& display);
    void ShowFieldText(int id, const std::string& text);
    bool OnGuiThreadNow() const;

    QWidget* Widget(int id) const;  // asserts the GUI thread
    QLineEdit* Field(int id) const;
    QPlainTextEdit* Log() const;
    QProgressBar* Progress() const;
    void ShowLogText();

    QPointer<QWidget> window_;
    std::map<int, QWidget*> controls_;
    std::function<void(int)> menuHandler_;
    std::function<void(DialogResult)> endHandler_;
    std::optional<std::string> nextChoice_;
    QIcon icon_;
    QString lastFolder_;
    std::string logText_;  // the log exactly as the dialog wrote it ("\r\n" lines)

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    DisplayUpdate display_;
    uint64_t queuedCount_ = 0;  // calls ever queued
    uint64_t doneCount_ = 0;    // calls carried out
    bool drainPosted_ = false;

    bool shuttingDown_ = false;  // GUI thread only
};

}  // namespace tessaro::ui
