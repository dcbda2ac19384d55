// PortLock: the UUCP lock file of a serial device on Linux, /run/lock/LCK..ttyUSB0, holding the process
// id of the program that has the port open. Long-standing terminal programs and Qt's serial port make
// and honour these; TIOCEXCL does not stop root and flock is only seen by programs that also lock, so
// the lock file is how those programs and the console keep out of each other's way.
//
// A lock file that another program left is judged as follows:
// - it names a running process: the port is held, unless that process is shown to be another than the
//   one that wrote the file: it runs another program than the file names after the number (as
//   terminal programs and Qt's lock files write it), or it runs as none of the users the file's owner
//   could be (a file of root's may be written by a program that gives up root later), and it started
//   after the file was written (its number was given out again). The wall clock decides alone only
//   between two programs that already differ: it can step, and a step forward makes every running
//   holder look younger than its file;
// - it is empty and younger than EmptyLockGraceS: its program is between making it and writing its
//   number: the port is held (by a process not known yet);
// - it cannot be read (another user's file that only its owner may read, a link, anything but a plain
//   file): the port is held, by someone not known;
// - anything else is stale: an empty file older than that, a content that names no valid process (not
//   a number, 0, negative, beyond the system's largest process id), a process that has ended, or one
//   whose number was given out again. A stale lock is removed; one that this program may not remove
//   (another user's, in a folder where each user removes only their own files) keeps the port.
// Replacing is safe against a second program doing the same at the same instant: the stale file is
// removed only while this program holds an flock on it and it is still the file at that path, and the
// console's own lock appears whole, by link(), never as an empty file.
//
// The console's own file reads "      4321 liaison-serie\n": the number in UUCP's ten columns, a space, and
// the name the kernel knows the process by, so that after a crash its number, given out again to
// another program, is judged stale as above. The lock folder is writable by every user: the file is
// written under a name that no one can foresee, made new (never a file or a link someone left there),
// then linked into place.
#pragma once

#include "failure.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

class PortLock {
public:
    static constexpr int EmptyLockGraceS = 10;

    // What keeps the port from this program, and its lock file.
    struct Holder {
        pid_t pid = 0; // the program that holds the port (Running); 0 otherwise
        QString lockFile;
        enum Kind {
            Running,      // a running program holds it
            BeingWritten, // an empty lock file, made a moment ago, or one that keeps changing
            Unreadable,   // a lock file this program cannot read: someone may hold the port
            StaleKept,    // a stale lock file this program may not remove
            NotMade,      // this program's own lock file could not be made in a writable folder
        };
        Kind kind = Running;
        int error = 0; // errno, for Unreadable, StaleKept and NotMade (0: not a plain file)
    };

    // The folders where lock files live; a lock is looked for in each and made in the first writable.
    static QStringList defaultFolders();
    // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3.
    static QString fileName(const QString &devicePath);

    explicit PortLock(QString devicePath, QStringList folders = defaultFolders());
    ~PortLock() { release(); }
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock. Returns what keeps the port from this program instead (nothing is taken then), or
    // nothing. Where no lock folder is writable, nothing is taken and the port is not refused for it.
    std::optional<Holder> acquire();
    // Removes the lock file if this lock made it and it still names this process.
    void release();
    bool isHeld() const { return !m_path.isEmpty(); }

    // The name a running process goes by ("picocom"), empty when unknown.
    static QString processName(pid_t pid);
    // Why the port is refused, for the message: "le port est occupé par un autre programme (picocom,
    // processus 4321)", and whether that is because it is busy.
    static OpenFailure::Cause refusalCause(const Holder &holder);
    static QString refusalText(const Holder &holder);

private:
    QString m_device;
    QStringList m_folders;
    QString m_path; // the lock file this lock made
};
