#include "tests/support/scripted_toolkit.h"

#include <chrono>

#include "app/text_format.h"

namespace tessaro::testing {

void ScriptedToolkit::QueueChoice(std::optional<std::string> path) {
    std::lock_guard<std::mutex> lock(mutex_);
    choices_.push_back(std::move(path));
}

void ScriptedToolkit::QueueAnswer(MessageAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.push_back(answer);
}

void ScriptedToolkit::OnMessage(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    messageHook_ = std::move(hook);
}

std::string ScriptedToolkit::Field(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fields_[id];
}

bool ScriptedToolkit::Enabled(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = enabled_.find(id);
    return it == enabled_.end() || it->second;
}

int ScriptedToolkit::ProgressPosition() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_.empty() ? 0 : progress_.back();
}

std::vector<int> ScriptedToolkit::ProgressHistory() {
    std::lock_guard<std::mutex> lock(mutex_);
    return progress_;
}

std::vector<ShownMessage> ScriptedToolkit::Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::string> ScriptedToolkit::MessageTexts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& m : messages_) texts.push_back(m.text);
    return texts;
}

void ScriptedToolkit::ClearMessages() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

bool ScriptedToolkit::LogReadOnly() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logReadOnly_;
}

bool ScriptedToolkit::AboutShown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aboutShown_;
}

std::optional<DialogResult> ScriptedToolkit::Ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_;
}

std::vector<FileChooserRequest> ScriptedToolkit::ChooserRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int ScriptedToolkit::RunPosted(int timeoutMs) {
    std::deque<std::function<void()>> tasks;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return !tasks_.empty(); });
        tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
    return static_cast<int>(tasks.size());
}

bool ScriptedToolkit::RunUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        RunPosted(20);
    }
    return true;
}

MessageAnswer ScriptedToolkit::ShowMessage(const std::string& text, MessageKind kind) {
    std::function<void(const std::string&)> hook;
    MessageAnswer answer = kind == MessageKind::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back({text, kind});
        if (kind == MessageKind::YesNo && !answers_.empty() && !shuttingDown_) {
            answer = answers_.front();
            answers_.pop_front();
        }
        hook = messageHook_;
    }
    if (hook) hook(text);
    return answer;
}

void ScriptedToolkit::SetFieldText(int id, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    fields_[id] = text;
}

std::string ScriptedToolkit::FieldText(int id) { return Field(id); }

void ScriptedToolkit::EnableControl(int id, bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_[id] = enabled;
}

void ScriptedToolkit::RepaintNow(int) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++repaintCount;
}

void ScriptedToolkit::FocusControl(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    focusedControl = id;
}

void ScriptedToolkit::SetProgressRange(int, int) {}

void ScriptedToolkit::SetProgressPosition(int position) {
    std::lock_guard<std::mutex> lock(mutex_);
    progress_.push_back(position);
}

std::string ScriptedToolkit::LogText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void ScriptedToolkit::SetLogText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ = text;
}

int ScriptedToolkit::LogLineCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLines(log_);
}

void ScriptedToolkit::ScrollLog(int) {}

void ScriptedToolkit::SetLogReadOnly(bool readOnly) {
    std::lock_guard<std::mutex> lock(mutex_);
    logReadOnly_ = readOnly;
}

void ScriptedToolkit::SelectAllLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    logSelected_ = true;
}

void ScriptedToolkit::ScrollLogToSelection() {}

void ScriptedToolkit::DeleteLogSelection() {
    std::lock_guard<std::mutex> lock(mutex_);
    // Deleting only works on a writable control.
    if (logSelected_ && !logReadOnly_) log_.clear();
    logSelected_ = false;
}

std::optional<std::string> ScriptedToolkit::ChooseFile(const FileChooserRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    if (choices_.empty()) return std::nullopt;
    auto choice = choices_.front();
    choices_.pop_front();
    return choice;
}

void ScriptedToolkit::AppendSystemMenuSeparator() { systemMenu.push_back("-"); }

void ScriptedToolkit::AppendSystemMenuItem(int id, const std::string& text) {
    systemMenu.push_back(std::to_string(id) + " " + text);
}

void ScriptedToolkit::SetIcon() {}

void ScriptedToolkit::ShowAboutBox() {
    std::lock_guard<std::mutex> lock(mutex_);
    aboutShown_ = true;
}

void ScriptedToolkit::EndDialog(DialogResult result) {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = result;
}

void ScriptedToolkit::ServeWorkerCalls(int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shuttingDown_ = true;
    }
    RunPosted(timeoutMs);
}

bool ScriptedToolkit::ShutdownServed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shuttingDown_;
}

void ScriptedToolkit::PostToDialogThread(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
}

}  // namespace tessaro::testing
