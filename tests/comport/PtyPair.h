#pragma once

// A pseudo-terminal for serial tests: the component opens the slave side by
// its path, the test plays the receiver on the master.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <vector>

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0) return;
        FPath = QString::fromLocal8Bit(name);
        // Raw on both ends so that no byte is changed on the way.
        termios t{};
        ::tcgetattr(FSlave, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(FSlave, TCSANOW, &t);
        ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        CloseMaster();
        if (FSlave >= 0) ::close(FSlave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Valid() const { return FMaster >= 0 && FSlave >= 0; }
    const QString& SlavePath() const { return FPath; }
    int Master() const { return FMaster; }
    // The test's own descriptor of the slave: keeps the line up between
    // opens and lets the test read the line settings.
    int Slave() const { return FSlave; }

    // Writes every byte to the master (the receiver sends).
    bool Send(const void* data, size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        QElapsedTimer clock;
        clock.start();
        while (size > 0) {
            const ssize_t n = ::write(FMaster, p, size);
            if (n > 0) {
                p += n;
                size -= static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                if (clock.elapsed() > 20000) return false;
                pollfd pfd{FMaster, POLLOUT, 0};
                ::poll(&pfd, 1, 10);
            }
        }
        return true;
    }
    bool Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), bytes.size()); }

    // Reads what the component sent, waiting up to timeoutMs for count bytes.
    std::vector<unsigned char> Receive(size_t count, int timeoutMs = 10000) {
        std::vector<unsigned char> out;
        QElapsedTimer clock;
        clock.start();
        while (out.size() < count && clock.elapsed() < timeoutMs) {
            unsigned char buf[4096];
            const ssize_t n = ::read(FMaster, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            } else {
                pollfd pfd{FMaster, POLLIN, 0};
                ::poll(&pfd, 1, 10);
            }
        }
        return out;
    }

    void CloseMaster() {
        if (FMaster >= 0) ::close(FMaster);
        FMaster = -1;
    }

private:
    int FMaster = -1;
    int FSlave = -1;
    QString FPath;
};
