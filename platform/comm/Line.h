#pragma once

// The line settings of a tty through the Linux termios2 ioctls. Kept apart
// from <termios.h>, whose records clash with the kernel's.

#include "platform/comm/comm.h"

namespace comm_detail {

// Applies the DCB's rate, framing and flow control to the tty and puts it in
// raw mode. Returns 0 or an errno value; EINVAL for what the line cannot do,
// in which case the line is left as it was.
int ApplyLineSettings(int fd, const DCB& dcb);

// A port starts without software flow control, as serial drivers elsewhere
// do: a tty nobody has set up has XON/XOFF on and would keep those two byte
// values of a binary answer for itself. Returns 0 or an errno value.
int ClearSoftwareFlowControl(int fd);

// Fills the fields of the DCB that the tty itself keeps (rate, framing, flow
// control, XON/XOFF characters). Returns 0 or an errno value.
int ReadLineSettings(int fd, DCB& dcb);

// The kernel's per-line interrupt counters.
struct LineCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};
// False where the driver keeps no counters (pseudo-terminals).
bool ReadLineCounters(int fd, LineCounters& counters);

// Asks a USB-serial driver not to hold received bytes back; ignored where
// the driver does not know the flag.
void RequestLowLatency(int fd);

}  // namespace comm_detail
