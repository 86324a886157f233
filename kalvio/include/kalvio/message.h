// Modal message boxes through a replaceable handler.
#pragma once

#include <kalvio/export.h>

#include <functional>
#include <string>

/// Button sets and icons, combined with | into the `type` of AfxMessageBox.
enum : unsigned int {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_YESNOCANCEL = 0x03,
    MB_YESNO = 0x04,
    MB_ICONSTOP = 0x10,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_TYPEMASK = 0x0F,
    MB_ICONMASK = 0xF0,
};

/// The buttons a message box can answer with.
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

namespace kalvio {

enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageIcon { None, Error, Question, Warning, Information };

/// Shows `text` to the user and returns the button chosen (IDOK, IDCANCEL,
/// IDYES or IDNO); the answer must be one of the buttons offered.
using MessageHandler =
    std::function<int(const std::string& text, MessageButtons buttons, MessageIcon icon)>;

/// Installs `handler` for every later message box and returns the one it
/// replaces. An empty handler restores the default, which writes the text to
/// standard error and answers with the first button (OK or Yes).
KALVIO_API MessageHandler set_message_handler(MessageHandler handler);

}  // namespace kalvio

/// Shows a modal message box. `type` is one button set (MB_OK, MB_OKCANCEL,
/// MB_YESNO, MB_YESNOCANCEL) or'ed with at most one icon. Returns the button
/// chosen; an unknown button set is shown with OK only.
KALVIO_API int AfxMessageBox(const char* text, unsigned int type = MB_OK);
KALVIO_API int AfxMessageBox(const std::string& text, unsigned int type = MB_OK);
