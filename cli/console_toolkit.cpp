#include "cli/console_toolkit.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>
#include <vector>

#include "app/control_ids.h"
#include "app/messages.h"
#include "app/text_format.h"
#include "cli/progress_line.h"

namespace tessaro {
namespace {

// Field texts that report a refusal rather than show a value.
bool IsFieldError(int id, const std::string& text) {
    if (id == control::InputPath || id == control::OutputPath) {
        return std::string_view(text).starts_with("<Error>");
    }
    return id == control::ConfigFileName && text == message::InvalidConfiguration;
}

// Columns of the terminal on stderr, asked at each draw so that the line
// follows a resized window; 80 when the terminal does not say.
int TerminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

}  // namespace

ConsoleToolkit::ConsoleToolkit(bool showProgress) : showProgress_(showProgress) {}

void ConsoleToolkit::SetNextChoice(std::string path) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextChoice_ = std::move(path);
}

void ConsoleToolkit::RunPosted(int timeoutMs) {
    std::deque<std::function<void()>> tasks;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !tasks_.empty(); });
        tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
}

void ConsoleToolkit::RunUntil(const std::function<bool()>& done) {
    while (!done()) RunPosted(100);
}

// Worker calls are carried out on the worker's own thread here; only the
// posted run-end task needs the main thread.
void ConsoleToolkit::ServeWorkerCalls(int timeoutMs) { RunPosted(timeoutMs); }

void ConsoleToolkit::FinishProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progressDrawn_) std::fputs("\n", stderr);
    progressDrawn_ = false;
}

bool ConsoleToolkit::ControlEnabled(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = enabled_.find(id);
    return it == enabled_.end() || it->second;
}

int ConsoleToolkit::ErrorsWritten() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorsWritten_;
}

void ConsoleToolkit::WriteError(const std::string& text) {
    if (progressDrawn_) std::fputs("\n", stderr);
    progressDrawn_ = false;
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    ++errorsWritten_;
}

MessageAnswer ConsoleToolkit::ShowMessage(const std::string& text, MessageKind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    WriteError(text);
    // Nobody is asked on a terminal: confirmations are declined.
    return kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
}

void ConsoleToolkit::SetFieldText(int id, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    fields_[id] = text;
    if (IsFieldError(id, text)) WriteError(text);
}

std::string ConsoleToolkit::FieldText(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fields_[id];
}

void ConsoleToolkit::EnableControl(int id, bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_[id] = enabled;
}

void ConsoleToolkit::RepaintNow(int id) {
    // The clipped count is the last of a block's texts: draw once per block.
    if (id != control::Clipped) return;
    std::lock_guard<std::mutex> lock(mutex_);
    DrawProgress();
}

void ConsoleToolkit::FocusControl(int) {}
void ConsoleToolkit::SetProgressRange(int, int) {}

void ConsoleToolkit::SetProgressPosition(int position) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_ = position;
    if (position == 100) DrawProgress();
}

void ConsoleToolkit::DrawProgress() {
    if (!showProgress_) return;
    const std::vector<std::string> texts = {
        fields_[control::InputRms], fields_[control::InputPeak], fields_[control::OutputRms],
        fields_[control::OutputPeak], fields_[control::Clipped]};
    // Back to the start of the line, and erase what a longer line left.
    std::fprintf(stderr, "\r%s\033[K", ProgressLine(progress_, texts, TerminalWidth()).c_str());
    std::fflush(stderr);
    progressDrawn_ = true;
}

std::string ConsoleToolkit::LogText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void ConsoleToolkit::SetLogText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = text;
}

int ConsoleToolkit::LogLineCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLines(log_);
}

void ConsoleToolkit::ScrollLog(int) {}
void ConsoleToolkit::SetLogReadOnly(bool) {}
void ConsoleToolkit::SelectAllLog() {}
void ConsoleToolkit::ScrollLogToSelection() {}

void ConsoleToolkit::DeleteLogSelection() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

std::optional<std::string> ConsoleToolkit::ChooseFile(const FileChooserRequest&) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto choice = std::move(nextChoice_);
    nextChoice_.reset();
    return choice;
}

void ConsoleToolkit::AppendSystemMenuSeparator() {}
void ConsoleToolkit::AppendSystemMenuItem(int, const std::string&) {}
void ConsoleToolkit::SetIcon() {}
void ConsoleToolkit::ShowAboutBox() {}
void ConsoleToolkit::EndDialog(DialogResult) {}

void ConsoleToolkit::PostToDialogThread(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
}

}  // namespace tessaro
