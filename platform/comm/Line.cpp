#include "platform/comm/Line.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace comm_detail {
namespace {

int GetTermios(int fd, termios2& tio) {
    return ioctl(fd, TCGETS2, &tio) == 0 ? 0 : errno;
}

}  // namespace

int ApplyLineSettings(int fd, const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
        (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5))
        return EINVAL;
    // Linux has no DSR flow control, DTR handshake or RTS toggling.
    if (dcb.fOutxDsrFlow || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
        return EINVAL;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return EINVAL;

    termios2 old{};
    if (int error = GetTermios(fd, old)) return error;
    termios2 tio = old;

    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF |
                     IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CLOCAL | CREAD | BOTHER;
    tio.c_ispeed = dcb.BaudRate;
    tio.c_ospeed = dcb.BaudRate;

    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            tio.c_cflag |= PARENB;
            break;
        case MARKPARITY:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY) tio.c_iflag |= INPCK;
    if (dcb.StopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (ioctl(fd, TCSETS2, &tio) != 0) {
        int error = errno;
        ioctl(fd, TCSETS2, &old);
        return error;
    }
    // The driver may quietly keep another rate than asked. (Framing is not
    // compared: a pseudo-terminal always reports 8 bits without parity.)
    termios2 now{};
    if (int error = GetTermios(fd, now)) return error;
    const double rateError =
        now.c_ospeed > dcb.BaudRate ? now.c_ospeed - dcb.BaudRate : dcb.BaudRate - now.c_ospeed;
    if (rateError > dcb.BaudRate * 0.03) {
        ioctl(fd, TCSETS2, &old);
        return EINVAL;
    }
    return 0;
}

int ClearSoftwareFlowControl(int fd) {
    termios2 tio{};
    if (int error = GetTermios(fd, tio)) return error;
    if (!(tio.c_iflag & (IXON | IXOFF | IXANY))) return 0;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    return ioctl(fd, TCSETS2, &tio) == 0 ? 0 : errno;
}

int ReadLineSettings(int fd, DCB& dcb) {
    termios2 tio{};
    if (int error = GetTermios(fd, tio)) return error;
    dcb.BaudRate = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(tio.c_cflag & CSTOPB))
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    const bool rtscts = tio.c_cflag & CRTSCTS;
    dcb.fOutxCtsFlow = rtscts ? 1 : 0;
    if (rtscts)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return 0;
}

bool ReadLineCounters(int fd, LineCounters& counters) {
    serial_icounter_struct icount{};
    if (ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
    counters.cts = icount.cts;
    counters.dsr = icount.dsr;
    counters.rng = icount.rng;
    counters.dcd = icount.dcd;
    counters.frame = icount.frame;
    counters.overrun = icount.overrun;
    counters.parity = icount.parity;
    counters.brk = icount.brk;
    counters.bufOverrun = icount.buf_overrun;
    return true;
}

void RequestLowLatency(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
    if (serial.flags & ASYNC_LOW_LATENCY) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
}

}  // namespace comm_detail
