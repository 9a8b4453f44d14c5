#include "ui/tessaro_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <algorithm>
#include <exception>

#include "app/control_ids.h"
#include "app/messages.h"
#include "ui/dialog_layout.h"
#include "ui/dialog_units.h"

namespace tessaro::ui {
namespace {

// Read-only fields show the dialog's background, so they read as text
// rather than as places to type; borderless ones show whatever is behind.
void ShowAsReadOnly(QWidget* widget, bool bordered) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Base,
                     bordered ? palette.color(QPalette::Window) : QColor(Qt::transparent));
    widget->setPalette(palette);
}

QLineEdit* CreateEdit(EditStyle style, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    if (style == EditStyle::Editable) return edit;
    const bool bordered = style == EditStyle::ReadOnlyBordered;
    edit->setReadOnly(true);
    edit->setFrame(bordered);
    ShowAsReadOnly(edit, bordered);
    return edit;
}

QPlainTextEdit* CreateLog(QWidget* parent) {
    auto* log = new QPlainTextEdit(parent);
    log->setReadOnly(true);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log->setUndoRedoEnabled(false);
    ShowAsReadOnly(log, true);
    return log;
}

}  // namespace

TessaroWindow::TessaroWindow(DialogOptions options)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                           Qt::MSWindowsFixedSizeDialogHint),
      toolkit_(std::make_unique<QtToolkit>(this)),
      logic_(std::make_unique<CTessaroDlg>(*toolkit_, std::move(options))) {
    setObjectName("102");
    setWindowTitle(message::AppName);
    setAccessibleName(message::AppName);
    setFont(DialogFont());
    // The system menu belongs to the window manager here: its item is
    // offered in the dialog's context menu and on F1.
    setContextMenuPolicy(Qt::ActionsContextMenu);
    BuildControls();
    toolkit_->SetMenuHandler([this](int id) { OnMenuCommand(id); });
    toolkit_->SetEndHandler([this](DialogResult result) { OnDialogEnded(result); });
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, [this] { OnMenuCommand(control::AboutCommand); });
}

TessaroWindow::~TessaroWindow() {
    Shutdown();
    logic_.reset();
}

void TessaroWindow::Shutdown() {
    if (logic_) Guarded([this] { logic_->Shutdown(); });
}

bool TessaroWindow::Initialise() {
    bool initialised = false;
    Guarded([&] { initialised = logic_->OnInitDialog(); });
    return initialised;
}

void TessaroWindow::Select(const std::string& config, const std::string& input,
                           const std::string& output) {
    const std::pair<const std::string*, void (CTessaroDlg::*)()> commands[] = {
        {&config, &CTessaroDlg::OnLoad},
        {&input, &CTessaroDlg::OnOpen},
        {&output, &CTessaroDlg::OnSaveAs},
    };
    for (const auto& [path, command] : commands) {
        if (path->empty()) continue;
        toolkit_->SetNextChoice(*path);
        Guarded([this, command = command] { (logic_.get()->*command)(); });
    }
}

void TessaroWindow::BuildControls() {
    const DialogUnits units(font());
    for (const ControlRow& row : MainDialogControls()) {
        QWidget* widget = CreateControl(row);
        QRect place = units.Rect(row.rect);
        // A label never cuts its caption when this font is wider than the
        // one the layout was drawn with.
        if (row.kind == ControlKind::Label) {
            place.setWidth(std::max(place.width(), widget->sizeHint().width()));
        }
        widget->setGeometry(place);
        widget->setAccessibleName(row.accessibleName);
        if (row.id == 0) continue;
        widget->setObjectName(QString::number(row.id));
        toolkit_->AddControl(row.id, widget);
        if (row.kind == ControlKind::Button) ConnectButton(row.id, widget);
    }
    setFixedSize(units.Size(DialogWidthUnits, DialogHeightUnits));
    toolkit_->Control(control::Gain)->installEventFilter(this);
}

QWidget* TessaroWindow::CreateControl(const ControlRow& row) {
    switch (row.kind) {
        case ControlKind::GroupBox:
            return new QGroupBox(row.caption, this);
        case ControlKind::Button: {
            auto* button = new QPushButton(row.caption, this);
            button->setDefault(row.defaultButton);
            return button;
        }
        case ControlKind::Edit:
            return CreateEdit(row.style, this);
        case ControlKind::Label:
            return new QLabel(row.caption, this);
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(this);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            return bar;
        }
        case ControlKind::Log:
            return CreateLog(this);
    }
    return nullptr;
}

void TessaroWindow::ConnectButton(int id, QWidget* widget) {
    using Slot = void (TessaroWindow::*)();
    static const std::pair<int, Slot> buttonSlots[] = {
        {control::Load, &TessaroWindow::OnLoadClicked},
        {control::Open, &TessaroWindow::OnOpenClicked},
        {control::SaveAs, &TessaroWindow::OnSaveAsClicked},
        {control::Process, &TessaroWindow::OnProcessClicked},
        {control::Abort, &TessaroWindow::OnAbortClicked},
        {control::Clear, &TessaroWindow::OnClearClicked},
        {control::Exit, &TessaroWindow::OnExitClicked},
    };
    auto* button = qobject_cast<QPushButton*>(widget);
    for (const auto& [buttonId, slot] : buttonSlots) {
        if (buttonId == id) connect(button, &QPushButton::clicked, this, slot);
    }
}

template <typename Command>
void TessaroWindow::Guarded(Command command) {
    try {
        command();
    } catch (const std::exception&) {
        QMessageBox::critical(this, message::AppName, message::AllocationFailed);
    }
}

void TessaroWindow::OnLoadClicked() {
    Guarded([this] { logic_->OnLoad(); });
}
void TessaroWindow::OnOpenClicked() {
    Guarded([this] { logic_->OnOpen(); });
}
void TessaroWindow::OnSaveAsClicked() {
    Guarded([this] { logic_->OnSaveAs(); });
}
// A mnemonic, Enter or an accessibility press clicks the button while the
// gain field keeps the focus, so its focus-out has not read a typed gain:
// Process reads it first, and an invalid one starts no run.
void TessaroWindow::OnProcessClicked() {
    if (!OnGainEdited()) return;
    Guarded([this] { logic_->StartRun(); });
}
void TessaroWindow::OnAbortClicked() {
    Guarded([this] { logic_->OnAbort(); });
}
void TessaroWindow::OnClearClicked() {
    Guarded([this] { logic_->ClearLog(); });
}
void TessaroWindow::OnExitClicked() {
    // Exit reads the gain itself; the focus its message box takes must not
    // read it a second time.
    WhileReadingGain([this] { logic_->OnExit(); });
}
void TessaroWindow::OnMenuCommand(int id) {
    Guarded([this, id] { logic_->OnSysCommand(id); });
}

// While a command reads the gain, the focus its message box takes away from
// the field reads it no second time: one box, always.
template <typename Command>
void TessaroWindow::WhileReadingGain(Command command) {
    if (updatingGain_) return;
    updatingGain_ = true;
    Guarded(command);
    updatingGain_ = false;
}

bool TessaroWindow::OnGainEdited() {
    bool valid = false;
    WhileReadingGain([this, &valid] { valid = logic_->UpdateGain(); });
    return valid;
}

void TessaroWindow::OnDialogEnded(DialogResult result) {
    QDialog::done(result == DialogResult::Ok ? QDialog::Accepted : QDialog::Rejected);
}

bool TessaroWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut &&
        static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        OnGainEdited();
    }
    return QDialog::eventFilter(watched, event);
}

void TessaroWindow::keyPressEvent(QKeyEvent* event) {
    // Escape never closes the dialog; Enter presses the default button.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TessaroWindow::closeEvent(QCloseEvent* event) {
    // The close box asks the dialog logic, which ends the dialog itself.
    event->ignore();
    Guarded([this] { logic_->OnCancel(); });
}

void TessaroWindow::showEvent(QShowEvent* event) {
    if (!centred_) {
        centred_ = true;
        if (const QScreen* shown = screen()) {
            move(shown->availableGeometry().center() - rect().center());
        }
    }
    QDialog::showEvent(event);
}

}  // namespace tessaro::ui
