// Test helpers: record message boxes and trace lines instead of showing them.
#pragma once

#include <kalvio/message.h>
#include <kalvio/trace.h>

#include <deque>
#include <string>
#include <vector>

namespace kalvio_test {

/// While alive, every message box is recorded instead of shown. Each box is
/// answered with the next queued answer, or with its first button (OK or
/// Yes) when the queue is empty.
class MessageRecorder {
public:
    struct Box {
        std::string text;
        kalvio::MessageButtons buttons;
        kalvio::MessageIcon icon;
    };

    MessageRecorder() {
        m_previous = kalvio::set_message_handler(
            [this](const std::string& text, kalvio::MessageButtons buttons,
                   kalvio::MessageIcon icon) -> int {
                m_boxes.push_back({text, buttons, icon});
                if (!m_answers.empty()) {
                    int answer = m_answers.front();
                    m_answers.pop_front();
                    return answer;
                }
                return buttons == kalvio::MessageButtons::YesNo ||
                               buttons == kalvio::MessageButtons::YesNoCancel
                           ? IDYES
                           : IDOK;
            });
    }
    ~MessageRecorder() { kalvio::set_message_handler(m_previous); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    /// Queues the answer for the next box (IDOK, IDCANCEL, IDYES, IDNO).
    void answer(int button) { m_answers.push_back(button); }

    const std::vector<Box>& boxes() const { return m_boxes; }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const Box& box : m_boxes) out.push_back(box.text);
        return out;
    }
    void clear() { m_boxes.clear(); }

private:
    kalvio::MessageHandler m_previous;
    std::vector<Box> m_boxes;
    std::deque<int> m_answers;
};

/// While alive, every trace message is collected here instead of written.
class TraceRecorder {
public:
    TraceRecorder() {
        m_previous = kalvio::set_trace_sink(
            [this](const char*, int, const std::string& text) { m_lines.push_back(text); });
    }
    ~TraceRecorder() { kalvio::set_trace_sink(m_previous); }
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    const std::vector<std::string>& lines() const { return m_lines; }

private:
    kalvio::TraceSink m_previous;
    std::vector<std::string> m_lines;
};

}  // namespace kalvio_test
