#pragma once

// A real X server with a real window manager for the tests whose behaviour
// depends on window frames, focus or key auto-repeat, which the offscreen
// platform does not have: Xvfb on a display of its own, with openbox on it.
// Started before the test's QApplication (which must connect to it), taken
// down after it. Plain POSIX, as no Qt object may exist yet.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class X11Session {
public:
    X11Session() = default;
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;
    ~X11Session() { Stop(); }

    // Starts Xvfb and openbox; on failure says why in Why() and leaves nothing
    // running. A busy machine may fail a start now and then: it is tried again.
    bool Start() {
        if (!OnPath("Xvfb") || !OnPath("openbox") || !OnPath("xprop")) {
            FWhy = QStringLiteral("Xvfb, openbox or xprop is not installed (scripts/setup.sh "
                                  "installs them)");
            return false;
        }
        QStringList failures;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (StartOnce()) {
                FWhy.clear();
                return true;
            }
            failures.append(FWhy);
        }
        FWhy = failures.join(QStringLiteral("; "));
        return false;
    }

    void Stop() {
        End(FOpenbox);
        End(FXvfb);
    }

    QString Display() const { return QString::fromStdString(FDisplay); }
    QString Why() const { return FWhy; }

    // Runs a shell command against this display; returns its standard output,
    // or a null array when it failed.
    QByteArray Run(const std::string& command) const {
        const std::string line = "DISPLAY=" + FDisplay + " " + command + " 2>/dev/null";
        FILE* out = popen(line.c_str(), "r");
        if (!out)
            return {};
        QByteArray text;
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, out)) > 0;)
            text.append(buffer, qsizetype(n));
        if (pclose(out) != 0)
            return {};
        return text.isNull() ? QByteArray("") : text;
    }

private:
    bool StartOnce() {
        // Xvfb picks a free display itself and writes its number to the pipe
        // once it accepts clients: no race with another server for a display.
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            FWhy = QStringLiteral("no pipe for Xvfb");
            return false;
        }
        FXvfb = Spawn({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-screen", "0",
                       "1280x1024x24", "-nolisten", "tcp", "-ac"},
                      {}, pipeFds[1]);
        close(pipeFds[1]);
        const std::string number = ReadLine(pipeFds[0], 10000);
        close(pipeFds[0]);
        if (FXvfb <= 0 || number.empty()) {
            FWhy = QStringLiteral("Xvfb did not start");
            Stop();
            return false;
        }
        FDisplay = ":" + number;
        FOpenbox = Spawn({"openbox", "--sm-disable"}, FDisplay, -1);
        // The window manager runs once it has announced itself on the root window.
        int status = -1;
        for (int i = 0; i < 200 && !WindowManagerRunning(); ++i) {
            if (waitpid(FOpenbox, &status, WNOHANG) != 0) {
                FOpenbox = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (FOpenbox == 0 || !WindowManagerRunning()) {
            FWhy = QStringLiteral("openbox did not start on display %1 (%2)")
                       .arg(QString::fromStdString(FDisplay),
                            FOpenbox == 0 ? QStringLiteral("exit status %1").arg(status)
                                          : QStringLiteral("no answer"));
            Stop();
            return false;
        }
        // Held keys repeat as on the operator's desk, where the tool is there.
        if (OnPath("xset"))
            Run("xset r on r rate 300 30");
        return true;
    }

    static bool OnPath(const char* tool) {
        return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
    }

    bool WindowManagerRunning() const {
        return Run("xprop -root _NET_SUPPORTING_WM_CHECK").contains("window id");
    }

    static pid_t Spawn(const std::vector<std::string>& argv, const std::string& display,
                       int keepFd) {
        const pid_t pid = fork();
        if (pid != 0)
            return pid;
        // The child: its own process group, quiet, only the fd it must write to.
        setpgid(0, 0);
        const int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != keepFd)
                close(fd);
        if (!display.empty())
            setenv("DISPLAY", display.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }

    static void End(pid_t& pid) {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) != 0) {
                pid = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = 0;
    }

    static std::string ReadLine(int fd, int timeoutMs) {
        std::string line;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            const ssize_t n = read(fd, &c, 1);
            if (n <= 0)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return {};
    }

    pid_t FXvfb = 0;
    pid_t FOpenbox = 0;
    std::string FDisplay;
    QString FWhy;
};
