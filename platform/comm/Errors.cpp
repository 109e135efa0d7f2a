#include "platform/comm/comm.h"

#include <cstring>

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD GetLastError() {
    return lastError;
}

void SetLastError(DWORD code) {
    lastError = code;
}

QString SysErrorMessage(DWORD code) {
    switch (code) {
        case ERROR_IO_PENDING:
            return QStringLiteral("Overlapped I/O operation is in progress");
        case ERROR_IO_INCOMPLETE:
            return QStringLiteral("Overlapped I/O event is not in a signaled state");
        default:
            break;
    }
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}
