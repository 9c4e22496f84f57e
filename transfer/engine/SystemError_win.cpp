#include "transfer/engine/SystemError.h"

#include <QString>

#include <windows.h>

std::string SystemErrorText(int error)
{
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0)
        return "system error " + std::to_string(error);
    // The system's texts end in a full stop and a line end: the callers put
    // them inside sentences of their own.
    QString message = QString::fromWCharArray(text, static_cast<qsizetype>(length)).trimmed();
    ::LocalFree(text);
    if (message.endsWith(u'.'))
        message.chop(1);
    return message.toStdString();
}
