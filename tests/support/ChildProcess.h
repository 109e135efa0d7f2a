#pragma once

// Runs a helper program (sox, soxi, the bell synthesizer) to its end and
// collects what it wrote.
//
// Not QProcess: Qt 6.4 starts a child with a vfork-style clone whose child
// side runs in this process's memory on the calling thread's state, and the
// ThreadSanitizer hooks it passes through there leave that thread's
// synchronisation unseen for the rest of the run (every later hand-over from
// it is reported as a race). posix_spawn's child runs no such hooks.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

struct ChildResult {
    bool started = false;
    bool finished = false;  // ended by itself within the time allowed
    bool exited = false;    // ended with an exit code (not a signal)
    int code = -1;
    QByteArray out;
    QByteArray err;
    QString error;  // why it did not start or finish

    bool ok() const { return finished && exited && code == 0; }
};

// A child started with stdin empty and its output in pipes.
struct SpawnedChild {
    pid_t pid = -1;
    int out = -1;   // its stdout
    int err = -1;   // its stderr, when asked for (else it shares ours)
    int error = 0;  // errno when it did not start
};

// Starts argv[0] (looked up in PATH unless it holds a slash).
inline SpawnedChild SpawnChild(std::vector<std::string> Args, bool CaptureErr) {
    SpawnedChild child;
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || (CaptureErr && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        child.error = errno;
        for (int fd : {outPipe[0], outPipe[1]})
            if (fd >= 0) ::close(fd);
        return child;
    }
    std::vector<char*> argv;
    for (std::string& a : Args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (CaptureErr) posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    const int spawned = ::posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    if (CaptureErr) ::close(errPipe[1]);
    if (spawned != 0) {
        child.pid = -1;
        child.error = spawned;
        ::close(outPipe[0]);
        if (CaptureErr) ::close(errPipe[0]);
        return child;
    }
    child.out = outPipe[0];
    child.err = errPipe[0];
    return child;
}

// Runs program (looked up in PATH unless it holds a slash) with args, stdin
// empty; kills it after timeoutMs.
inline ChildResult RunChild(const QString& program, const QStringList& args, int timeoutMs = 60000) {
    ChildResult result;
    std::vector<std::string> strings{program.toLocal8Bit().toStdString()};
    for (const QString& a : args) strings.push_back(a.toLocal8Bit().toStdString());
    const SpawnedChild child = SpawnChild(std::move(strings), true);
    if (child.pid < 0) {
        result.error = QString::fromLocal8Bit(std::strerror(child.error));
        return result;
    }
    const pid_t pid = child.pid;
    result.started = true;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    QByteArray* sinks[2] = {&result.out, &result.err};
    int open = 2;
    bool timedOut = false;
    while (open > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, n);
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& p : fds)
        if (p.fd >= 0) ::close(p.fd);
    if (timedOut) {
        ::kill(pid, SIGKILL);
        result.error = QStringLiteral("did not finish within %1 ms").arg(timeoutMs);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.finished = !timedOut;
    result.exited = WIFEXITED(status);
    result.code = result.exited ? WEXITSTATUS(status) : -1;
    if (!timedOut && !result.exited)
        result.error = QStringLiteral("ended by signal %1").arg(WTERMSIG(status));
    return result;
}
