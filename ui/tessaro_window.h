#pragma once
// The main dialog window: builds the controls from the layout table, hands
// them to the Qt toolkit and forwards every user action to CTessaroDlg.

#include <QDialog>
#include <memory>
#include <string>

#include "app/tessaro_dlg.h"
#include "ui/qt_toolkit.h"

namespace tessaro::ui {

class TessaroWindow : public QDialog {
public:
    explicit TessaroWindow(DialogOptions options = {});
    // Stops a run first, so the worker never outlives the widgets.
    ~TessaroWindow() override;

    // Start-up of the dialog logic; false after its fatal message.
    bool Initialise();

    // As if the files had been chosen with Load, Open and Save As; an empty
    // path skips that command.
    void Select(const std::string& config, const std::string& input, const std::string& output);

    // The program is ending: a run stops at its next block and its output is
    // finished before this returns.
    void Shutdown();

    CTessaroDlg& Logic() { return *logic_; }
    QtToolkit& Toolkit() { return *toolkit_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Only the dialog logic ends the dialog (EndDialog), never a key.
    void accept() override {}
    void reject() override {}

private:
    void BuildControls();
    QWidget* CreateControl(const struct ControlRow& row);
    void ConnectButton(int id, QWidget* button);

    void OnLoadClicked();
    void OnOpenClicked();
    void OnSaveAsClicked();
    void OnProcessClicked();
    void OnAbortClicked();
    void OnClearClicked();
    void OnExitClicked();
    bool OnGainEdited();
    template <typename Command>
    void WhileReadingGain(Command command);
    void OnMenuCommand(int id);
    void OnDialogEnded(DialogResult result);

    // Runs a command; what the standard library may throw ends the command
    // with a message instead of the program.
    template <typename Command>
    void Guarded(Command command);

    std::unique_ptr<QtToolkit> toolkit_;
    std::unique_ptr<CTessaroDlg> logic_;
    bool centred_ = false;
    bool updatingGain_ = false;
};

}  // namespace tessaro::ui
