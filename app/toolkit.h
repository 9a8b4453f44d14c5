#pragma once
// The operations the dialog logic needs from a window toolkit. The dialog is
// written only against this interface; the Qt window, the console front end
// and the tests each provide one.
//
// Threads: commands run on the dialog thread. The worker of a run calls the
// field, progress, log and message operations too; an implementation carries
// each such call out on the dialog thread and returns when it is done (a
// message box returns when it is dismissed). PostToDialogThread is the one
// call that does not wait.

#include <functional>
#include <optional>
#include <string>

namespace tessaro {

enum class MessageKind {
    OkError,        // OK button, error icon
    OkWarning,      // OK button, warning icon
    OkInformation,  // OK button, information icon
    OkPlain,        // OK button, no icon
    YesNo,          // Yes and No buttons, no icon
};

enum class MessageAnswer { Ok, Yes, No };

enum class ChooserMode { Open, Save };

struct FileChooserRequest {
    ChooserMode mode = ChooserMode::Open;
    std::string defaultExtension;  // "wav", without the dot
    std::string filter;            // "Input Wave file(*.wav)|*.wav|"
    bool mustExist = true;         // the file (open) or its folder (save) must exist
};

enum class DialogResult { Ok, Cancel };

class DialogToolkit {
public:
    virtual ~DialogToolkit() = default;

    // Modal; the caption is the application's name.
    virtual MessageAnswer ShowMessage(const std::string& text, MessageKind kind) = 0;

    // The whole text of an edit field.
    virtual void SetFieldText(int id, const std::string& text) = 0;
    virtual std::string FieldText(int id) = 0;

    virtual void EnableControl(int id, bool enabled) = 0;
    virtual void RepaintNow(int id) = 0;
    virtual void FocusControl(int id) = 0;

    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressPosition(int position) = 0;

    // The multi-line log view.
    virtual std::string LogText() = 0;
    virtual void SetLogText(const std::string& text) = 0;
    virtual int LogLineCount() = 0;
    virtual void ScrollLog(int lines) = 0;
    virtual void SetLogReadOnly(bool readOnly) = 0;
    virtual void SelectAllLog() = 0;
    virtual void ScrollLogToSelection() = 0;
    virtual void DeleteLogSelection() = 0;

    // The chosen file's absolute path, or nothing when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileChooserRequest& request) = 0;

    virtual void AppendSystemMenuSeparator() = 0;
    virtual void AppendSystemMenuItem(int id, const std::string& text) = 0;
    virtual void SetIcon() = 0;

    // The About box, modal.
    virtual void ShowAboutBox() = 0;

    // Ends the modal dialog; called on the dialog thread.
    virtual void EndDialog(DialogResult result) = 0;

    // Runs task later on the dialog thread, without waiting for it.
    virtual void PostToDialogThread(std::function<void()> task) = 0;

    // Called on the dialog thread while it waits for a stopping worker (the
    // program is shutting down): carries out the worker's pending calls and
    // posted tasks, waiting up to timeoutMs for one. From the first call on,
    // message boxes need not wait for anybody; a Yes/No prompt answers No.
    virtual void ServeWorkerCalls(int timeoutMs) = 0;
};

}  // namespace tessaro
