#include "ui/qt_toolkit.h"

#include <QAction>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>
#include <cassert>
#include <utility>

#include "app/messages.h"
#include "app/text_format.h"
#include "ui/about_box.h"
#include "ui/app_icon.h"
#include "ui/chooser_filter.h"

namespace tessaro::ui {
namespace {

// Calls the worker may queue before it waits for the GUI thread: a few
// blocks' worth of texts and progress.
constexpr uint64_t MaxBacklog = 64;

// Asks the GUI thread to carry out the queued calls.
const QEvent::Type DrainEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The log shows lines; the dialog writes them separated by "\r\n".
QString ShownLogText(std::string_view text) {
    QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return shown;
}

QMessageBox::Icon BoxIcon(MessageKind kind) {
    switch (kind) {
        case MessageKind::OkError:
            return QMessageBox::Critical;
        case MessageKind::OkWarning:
            return QMessageBox::Warning;
        case MessageKind::OkInformation:
            return QMessageBox::Information;
        case MessageKind::OkPlain:
        case MessageKind::YesNo:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QtToolkit::QtToolkit(QWidget* window) : window_(window), icon_(ApplicationIcon()) {}

QtToolkit::~QtToolkit() = default;

void QtToolkit::AddControl(int id, QWidget* widget) { controls_[id] = widget; }

QWidget* QtToolkit::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void QtToolkit::SetMenuHandler(std::function<void(int)> handler) {
    menuHandler_ = std::move(handler);
}

void QtToolkit::SetEndHandler(std::function<void(DialogResult)> handler) {
    endHandler_ = std::move(handler);
}

void QtToolkit::SetNextChoice(std::string path) { nextChoice_ = std::move(path); }

bool QtToolkit::OnGuiThreadNow() const { return QThread::currentThread() == thread(); }

QWidget* QtToolkit::Widget(int id) const {
    // Widgets are not thread-safe: a call from the worker that got here
    // without going through the queue is a bug.
    assert(OnGuiThreadNow());
    return Control(id);
}

QLineEdit* QtToolkit::Field(int id) const { return qobject_cast<QLineEdit*>(Widget(id)); }

QPlainTextEdit* QtToolkit::Log() const {
    return qobject_cast<QPlainTextEdit*>(Widget(control::Log));
}

QProgressBar* QtToolkit::Progress() const {
    return qobject_cast<QProgressBar*>(Widget(control::Progress));
}

void QtToolkit::Enqueue(std::function<void()> call, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Only the worker waits for the backlog: the GUI thread is what drains it.
    if (!OnGuiThreadNow()) {
        changed_.wait(lock, [this] { return queuedCount_ - doneCount_ < MaxBacklog; });
    }
    queue_.push_back(std::move(call));
    const uint64_t ticket = ++queuedCount_;
    PostDrainLocked();
    if (wait) changed_.wait(lock, [this, ticket] { return doneCount_ >= ticket; });
}

bool QtToolkit::event(QEvent* event) {
    bool drain = false;
    {
        // The worker posts under this lock: taking it first orders the
        // event's making before its reading here.
        std::lock_guard<std::mutex> lock(mutex_);
        drain = event->type() == DrainEvent;
    }
    if (!drain) return QObject::event(event);
    DrainQueue();
    return true;
}

void QtToolkit::PostDrainLocked() {
    if (!drainPosted_) {
        drainPosted_ = true;
        // A plain event: no functor made on this thread is run on the other.
        QCoreApplication::postEvent(this, new QEvent(DrainEvent));
    }
    changed_.notify_all();
}

void QtToolkit::OnGuiThread(std::function<void()> call, bool wait) {
    if (OnGuiThreadNow()) {
        call();
    } else {
        Enqueue(std::move(call), wait);
    }
}

template <typename Result>
Result QtToolkit::AskGuiThread(const std::function<Result()>& question) {
    Result result{};
    OnGuiThread([&] { result = question(); }, true);
    return result;
}

void QtToolkit::DrainQueue() {
    for (;;) {
        DisplayUpdate display;
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            display = std::exchange(display_, {});
            if (!queue_.empty()) {
                call = std::move(queue_.front());
                queue_.pop_front();
            } else {
                // Back to the event loop, to draw: newer texts post anew.
                drainPosted_ = false;
            }
        }
        // The texts first: a queued call sees every update made before it.
        ShowDisplayUpdate(display);
        if (!call) return;
        call();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++doneCount_;
        }
        changed_.notify_all();
    }
}

void QtToolkit::ShowDisplayUpdate(const DisplayUpdate& display) {
    for (const auto& [id, text] : display.texts) ShowFieldText(id, text);
    if (display.progress) {
        if (QProgressBar* bar = Progress()) bar->setValue(*display.progress);
    }
}

void QtToolkit::ShowFieldText(int id, const std::string& text) {
    if (QLineEdit* field = Field(id)) {
        field->setText(FromUtf8(text));
        // Show the start of a long path, as a read-only field should.
        field->setCursorPosition(0);
    }
}

void QtToolkit::ServeWorkerCalls(int timeoutMs) {
    shuttingDown_ = true;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !queue_.empty() || drainPosted_; });
    }
    DrainQueue();
}

MessageAnswer QtToolkit::ShowMessage(const std::string& text, MessageKind kind) {
    return AskGuiThread<MessageAnswer>([&] {
        const bool yesNo = kind == MessageKind::YesNo;
        if (shuttingDown_) return yesNo ? MessageAnswer::No : MessageAnswer::Ok;
        QMessageBox box(BoxIcon(kind), message::AppName, FromUtf8(text),
                        yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, window_);
        box.setObjectName("messageBox");
        box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
        const int pressed = box.exec();
        if (!yesNo) return MessageAnswer::Ok;
        return pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
    });
}

void QtToolkit::SetFieldText(int id, const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (OnGuiThreadNow()) {
        // Newer than anything the worker left for this field.
        display_.texts.erase(id);
        lock.unlock();
        ShowFieldText(id, text);
        return;
    }
    display_.texts[id] = text;
    PostDrainLocked();
}

std::string QtToolkit::FieldText(int id) {
    return AskGuiThread<std::string>([&] {
        const QLineEdit* field = Field(id);
        return field ? field->text().toStdString() : std::string();
    });
}

void QtToolkit::EnableControl(int id, bool enabled) {
    OnGuiThread(
        [this, id, enabled] {
            if (QWidget* widget = Widget(id)) widget->setEnabled(enabled);
        },
        false);
}

void QtToolkit::RepaintNow(int id) {
    // The worker's texts are drawn when the GUI thread shows them.
    if (!OnGuiThreadNow()) return;
    if (QWidget* widget = Widget(id)) widget->repaint();
}

void QtToolkit::FocusControl(int id) {
    OnGuiThread(
        [this, id] {
            if (QWidget* widget = Widget(id)) widget->setFocus(Qt::OtherFocusReason);
        },
        false);
}

void QtToolkit::SetProgressRange(int lower, int upper) {
    OnGuiThread(
        [this, lower, upper] {
            if (QProgressBar* bar = Progress()) bar->setRange(lower, upper);
        },
        false);
}

void QtToolkit::SetProgressPosition(int position) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (OnGuiThreadNow()) {
        display_.progress.reset();
        lock.unlock();
        if (QProgressBar* bar = Progress()) bar->setValue(position);
        return;
    }
    display_.progress = position;
    PostDrainLocked();
}

std::string QtToolkit::LogText() {
    return AskGuiThread<std::string>([this] { return logText_; });
}

void QtToolkit::SetLogText(const std::string& text) {
    OnGuiThread(
        [this, text] {
            QPlainTextEdit* log = Log();
            if (log == nullptr) return;
            // A line appended: add only the new part, so a long log does not
            // get laid out again for every line.
            if (!logText_.empty() && text.size() > logText_.size() &&
                text.compare(0, logText_.size(), logText_) == 0) {
                QTextCursor end(log->document());
                end.movePosition(QTextCursor::End);
                end.insertText(ShownLogText(std::string_view(text).substr(logText_.size())));
            } else {
                log->setPlainText(ShownLogText(text));
            }
            logText_ = text;
        },
        false);
}

int QtToolkit::LogLineCount() {
    return AskGuiThread<int>([this] { return CountLines(logText_); });
}

void QtToolkit::ScrollLog(int lines) {
    OnGuiThread(
        [this, lines] {
            if (QPlainTextEdit* log = Log()) {
                QScrollBar* bar = log->verticalScrollBar();
                bar->setValue(bar->value() + lines);
            }
        },
        false);
}

void QtToolkit::SetLogReadOnly(bool readOnly) {
    OnGuiThread(
        [this, readOnly] {
            if (QPlainTextEdit* log = Log()) log->setReadOnly(readOnly);
        },
        false);
}

void QtToolkit::SelectAllLog() {
    OnGuiThread(
        [this] {
            if (QPlainTextEdit* log = Log()) log->selectAll();
        },
        false);
}

void QtToolkit::ScrollLogToSelection() {
    OnGuiThread(
        [this] {
            if (QPlainTextEdit* log = Log()) log->ensureCursorVisible();
        },
        false);
}

void QtToolkit::DeleteLogSelection() {
    OnGuiThread(
        [this] {
            QPlainTextEdit* log = Log();
            // A read-only log keeps its text, as an edit control does.
            if (log == nullptr || log->isReadOnly()) return;
            QTextCursor cursor = log->textCursor();
            cursor.removeSelectedText();
            log->setTextCursor(cursor);
            QString rest = log->toPlainText();
            rest.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
            logText_ = rest.toStdString();
        },
        false);
}

std::optional<std::string> QtToolkit::ChooseFile(const FileChooserRequest& request) {
    using Choice = std::optional<std::string>;
    return AskGuiThread<Choice>([&]() -> Choice {
        if (nextChoice_) return std::exchange(nextChoice_, std::nullopt);
        if (shuttingDown_) return std::nullopt;
        const bool open = request.mode == ChooserMode::Open;
        QFileDialog chooser(window_, open ? "Open" : "Save As", lastFolder_);
        chooser.setObjectName("fileChooser");
        chooser.setNameFilters(ChooserNameFilters(request.filter));
        chooser.setDefaultSuffix(FromUtf8(request.defaultExtension));
        chooser.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        chooser.setFileMode(open && request.mustExist ? QFileDialog::ExistingFile
                                                      : QFileDialog::AnyFile);
        // Replacing an existing output is the point of choosing it again.
        chooser.setOption(QFileDialog::DontConfirmOverwrite, !open);
        for (;;) {
            if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty()) {
                return std::nullopt;
            }
            const QFileInfo chosen(chooser.selectedFiles().constFirst());
            if (request.mustExist && !chosen.absoluteDir().exists()) {
                QMessageBox::warning(&chooser, message::AppName,
                                     chosen.absolutePath() + "\nThe folder does not exist.");
                continue;
            }
            lastFolder_ = chosen.absolutePath();
            return chosen.absoluteFilePath().toStdString();
        }
    });
}

void QtToolkit::AppendSystemMenuSeparator() {
    OnGuiThread(
        [this] {
            auto* separator = new QAction(window_);
            separator->setSeparator(true);
            window_->addAction(separator);
        },
        false);
}

void QtToolkit::AppendSystemMenuItem(int id, const std::string& text) {
    OnGuiThread(
        [this, id, text] {
            auto* item = new QAction(FromUtf8(text), window_);
            item->setObjectName("menuItem" + QString::number(id));
            connect(item, &QAction::triggered, this, [this, id] {
                if (menuHandler_) menuHandler_(id);
            });
            window_->addAction(item);
        },
        false);
}

void QtToolkit::SetIcon() {
    OnGuiThread([this] { window_->setWindowIcon(icon_); }, false);
}

void QtToolkit::ShowAboutBox() {
    OnGuiThread(
        [this] {
            AboutBox box(window_, icon_);
            box.exec();
        },
        true);
}

void QtToolkit::EndDialog(DialogResult result) {
    OnGuiThread(
        [this, result] {
            if (endHandler_) endHandler_(result);
        },
        false);
}

void QtToolkit::PostToDialogThread(std::function<void()> task) { Enqueue(std::move(task), false); }

}  // namespace tessaro::ui
