#include "host/ShellExecute.h"

#include "host/Log.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

// There is no shell association on a plain Linux desktop that knows an update
// package, so a package that is a program (a script or an ELF executable) is
// started itself; anything else goes to the desktop's opener.
namespace host {

namespace {
constexpr std::int32_t kFileNotFound = 2;
constexpr std::int32_t kAccessDenied = 5;
constexpr std::int32_t kBadFormat = 11;
constexpr std::int32_t kNoAssociation = 31;
constexpr std::int32_t kStarted = 42;

// xdg-open usually answers within a moment; some desktops keep it running
// as long as the program it started, which must not keep the updater waiting.
std::chrono::milliseconds gOpenerWait{5000};

bool looksLikeProgram(QFile& file) {
    const QByteArray head = file.read(4);
    return head.startsWith("#!") || head == QByteArray("\x7f"
                                                       "ELF",
                                                       4);
}

// Starts the desktop's opener on `file` in `workDir`, as our own child so that
// its exit status can be read (QProcess would kill it when given up). It gets
// no input and default signal handling. Returns -1, with errno set, when it
// cannot be started.
pid_t spawnOpener(const QString& file, const QString& workDir) {
    const QByteArray program("xdg-open");
    const QByteArray argument = QFile::encodeName(file);
    const QByteArray directory = QFile::encodeName(workDir);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!directory.isEmpty()) {
        posix_spawn_file_actions_addchdir_np(&actions, directory.constData());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The path is one argument of its own; no shell ever parses it.
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(argument.constData()), nullptr};
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, program.constData(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

// Waits at most gOpenerWait for the opener's answer. Exit status 0 means a
// program took the file; xdg-open exits 3 when nothing can open it. An
// opener still running by then is left to run, and reaped when it ends.
std::int32_t openerAnswer(pid_t pid, const QString& path) {
    const QDeadlineTimer deadline(gOpenerWait);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                qCDebug(lcHandoff, "%s: xdg-open took it", logPrintable(path));
                return kStarted;
            }
            // xdg-open's own statuses: 3 means nothing on this machine opens the file.
            qCWarning(lcHandoff, "%s: refused by xdg-open (%s %d)", logPrintable(path),
                      WIFEXITED(status) ? "exit status" : "killed by signal",
                      WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
            return kNoAssociation;
        }
        if (ended < 0 && errno != EINTR) {
            // Its answer is lost; the user is told rather than left guessing.
            qCWarning(lcHandoff, "%s: the answer of xdg-open was lost: %s", logPrintable(path), std::strerror(errno));
            return kNoAssociation;
        }
        if (deadline.hasExpired()) {
            qCDebug(lcHandoff, "%s: xdg-open still runs after %lld ms; taken as accepted", logPrintable(path),
                    static_cast<long long>(gOpenerWait.count()));
            std::thread([pid] {
                int ignored = 0;
                while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
                }
            }).detach();
            return kStarted;
        }
        QThread::msleep(10);
    }
}
} // namespace

std::chrono::milliseconds SetOpenerWaitForTest(std::chrono::milliseconds bound) {
    const std::chrono::milliseconds previous = gOpenerWait;
    gOpenerWait = bound;
    return previous;
}

std::int32_t ShellExecuteOpen(const std::u16string& file, const std::u16string& directory) {
    const QString path = QString::fromStdU16String(file);
    const QString workDir = QString::fromStdU16String(directory);
    if (path.isEmpty()) {
        qCWarning(lcHandoff, "no file was named to open");
        return kFileNotFound;
    }
    const QFileInfo info(path);
    if (!info.exists()) {
        qCWarning(lcHandoff, "%s: cannot be opened: no such file", logPrintable(path));
        return kFileNotFound;
    }
    QFile handle(path);
    if (!info.isFile()) {
        qCWarning(lcHandoff, "%s: cannot be opened: not a regular file", logPrintable(path));
        return kAccessDenied;
    }
    if (!handle.open(QIODevice::ReadOnly)) {
        qCWarning(lcHandoff, "%s: cannot be opened: %s", logPrintable(path), logPrintable(handle.errorString()));
        return kAccessDenied;
    }
    const bool program = looksLikeProgram(handle);
    handle.close();

    const QString absolute = info.absoluteFilePath();
    if (program) {
        QFile::setPermissions(absolute, QFile::permissions(absolute) | QFileDevice::ExeOwner);
        QProcess process;
        process.setProgram(absolute);
        process.setWorkingDirectory(workDir);
        if (!process.startDetached()) {
            qCWarning(lcHandoff, "%s: the program cannot be started in %s: %s", logPrintable(absolute),
                      logPrintable(workDir), logPrintable(process.errorString()));
            return kBadFormat;
        }
        qCDebug(lcHandoff, "%s: started as a program in %s", logPrintable(absolute), logPrintable(workDir));
        return kStarted;
    }
    const pid_t opener = spawnOpener(absolute, workDir);
    if (opener < 0) {
        qCWarning(lcHandoff, "%s: xdg-open cannot be started: %s", logPrintable(absolute), std::strerror(errno));
        return kNoAssociation;
    }
    return openerAnswer(opener, absolute);
}

} // namespace host
