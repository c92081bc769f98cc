#pragma once

#include <QString>

namespace platform {

// Message-box styles and answers, with the numbers a MsgBox call uses.
namespace msgbox {
inline constexpr int OKOnly = 0;
inline constexpr int OKCancel = 1;
inline constexpr int AbortRetryIgnore = 2;
inline constexpr int YesNoCancel = 3;
inline constexpr int YesNo = 4;
inline constexpr int RetryCancel = 5;
inline constexpr int Critical = 16;
inline constexpr int Question = 32;
inline constexpr int Exclamation = 48;
inline constexpr int Information = 64;
// Which button Enter answers: the first unless one of these is added to the style.
inline constexpr int DefaultButton1 = 0;
inline constexpr int DefaultButton2 = 256;
inline constexpr int DefaultButton3 = 512;

inline constexpr int OK = 1;
inline constexpr int Cancel = 2;
inline constexpr int Abort = 3;
inline constexpr int Retry = 4;
inline constexpr int Ignore = 5;
inline constexpr int Yes = 6;
inline constexpr int No = 7;
} // namespace msgbox

// The program's title, shown by a message box that names none.
inline const QString ProgramTitle = QStringLiteral("Velmora");

// Message boxes and the folder browser.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows a modal message box; style is buttons + icon; an empty title shows the program's title.
    // Returns the answer (msgbox::OK, msgbox::Retry, ...).
    virtual int MsgBox(const QString& prompt, int style = msgbox::OKOnly, const QString& title = {}) = 0;
    // The folder browser (SHBrowseForFolder over the machine's drives, file-system folders only):
    // the chosen folder's Windows path ("D:\\WebRoot", "D:\\" for a drive root), or "" when the
    // operator cancelled. The title is the dialog's text.
    virtual QString BrowseFolder(const QString& title) = 0;
};

// Ends the program at once (the End statement): nothing after it runs in the real program.
class ProgramEnd {
public:
    virtual ~ProgramEnd() = default;
    virtual void End() = 0;
};

} // namespace platform
