// Message boxes through a replaceable handler.
#include <kalvio/message.h>

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

using kalvio::MessageButtons;
using kalvio::MessageIcon;

int first_button(MessageButtons buttons) {
    return buttons == MessageButtons::YesNo || buttons == MessageButtons::YesNoCancel ? IDYES : IDOK;
}

int default_handler(const std::string& text, MessageButtons buttons, MessageIcon) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return first_button(buttons);
}

std::mutex& handler_mutex() {
    static std::mutex m;
    return m;
}

kalvio::MessageHandler& current_handler() {
    static kalvio::MessageHandler handler = default_handler;
    return handler;
}

MessageButtons buttons_of(unsigned int type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL: return MessageButtons::OkCancel;
        case MB_YESNO: return MessageButtons::YesNo;
        case MB_YESNOCANCEL: return MessageButtons::YesNoCancel;
        default: return MessageButtons::Ok;
    }
}

MessageIcon icon_of(unsigned int type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONERROR: return MessageIcon::Error;
        case MB_ICONQUESTION: return MessageIcon::Question;
        case MB_ICONWARNING: return MessageIcon::Warning;
        case MB_ICONINFORMATION: return MessageIcon::Information;
        default: return MessageIcon::None;
    }
}

bool is_offered(int answer, MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::Ok: return answer == IDOK;
        case MessageButtons::OkCancel: return answer == IDOK || answer == IDCANCEL;
        case MessageButtons::YesNo: return answer == IDYES || answer == IDNO;
        case MessageButtons::YesNoCancel:
            return answer == IDYES || answer == IDNO || answer == IDCANCEL;
    }
    return false;
}

}  // namespace

namespace kalvio {

MessageHandler set_message_handler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(handler_mutex());
    MessageHandler previous = std::move(current_handler());
    current_handler() = handler ? std::move(handler) : MessageHandler(default_handler);
    return previous;
}

}  // namespace kalvio

int AfxMessageBox(const std::string& text, unsigned int type) {
    const MessageButtons buttons = buttons_of(type);
    kalvio::MessageHandler handler;
    {
        std::lock_guard<std::mutex> lock(handler_mutex());
        handler = current_handler();
    }
    const int answer = handler(text, buttons, icon_of(type));
    // A handler that answers with a button it was not offered (a closed
    // dialog, say) counts as the safe choice: Cancel where offered, else the
    // first button.
    if (is_offered(answer, buttons)) return answer;
    return is_offered(IDCANCEL, buttons) ? IDCANCEL : first_button(buttons);
}

int AfxMessageBox(const char* text, unsigned int type) {
    return AfxMessageBox(std::string(text ? text : ""), type);
}
