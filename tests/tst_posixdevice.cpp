// The Linux device's own files: lock files as other programs leave them (in a folder of the test's own),
// and the group that a refused user lacks.
#include "bounded.h"
#include "portlock.h"
#include "posixerrors.h"
#include "termiosline.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

class TestPosixDevice : public QObject {
    Q_OBJECT
private slots:
    void lockFilesOthersLeave_data();
    void lockFilesOthersLeave();
    void twoProgramsReplaceOneStaleLock();
    void lockFilesOfOtherUsers_data();
    void lockFilesOfOtherUsers();
    void ownLockFileTakesNothingPlanted_data();
    void ownLockFileTakesNothingPlanted();
    void ownLockFileThatCannotBeWritten();
    void markedInputIsDecoded_data();
    void markedInputIsDecoded();
    void noThreadOutlivesTheProgram_data();
    void noThreadOutlivesTheProgram();
    void accessRefusedNamesTheNodesGroup_data();
    void accessRefusedNamesTheNodesGroup();
};

namespace {
const QString device = QStringLiteral("/dev/ttyUSB0");

// The console's own lock file: its number in ten columns, the name the kernel knows it by (15 bytes).
QByteArray ownLockContent()
{
    const QByteArray name =
        QFileInfo(QFile::decodeName(QTest::currentAppName())).fileName().toLocal8Bit().left(15);
    return QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + ' ' + name + '\n';
}

void writeLock(const QString &path, const QByteArray &content, int ageS)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const time_t when = time(nullptr) - ageS;
    const utimbuf times{when, when};
    QCOMPARE(::utime(QFile::encodeName(path).constData(), &times), 0);
}

// A blocking call, made again when a signal interrupts it. A QProcess that an earlier case started may
// have left a SIGCHLD handler without SA_RESTART (Qt's fallback where it does not use pidfds, as Debian
// 13's Qt does): then any child's end interrupts what this program waits in.
template <typename Call> auto uninterrupted(Call call)
{
    decltype(call()) result;
    do
        result = call();
    while (result == -1 && errno == EINTR);
    return result;
}

// For the length of a case, a SIGCHLD handler without SA_RESTART, as the first QProcess of a program
// installs it where Qt starts children without pidfds (Debian 13's Qt): the case's waits stand it on
// every release, not only there.
class ChildEndInterrupts {
public:
    ChildEndInterrupts()
    {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &action, &m_before);
    }
    ChildEndInterrupts(const ChildEndInterrupts &) = delete;
    ChildEndInterrupts &operator=(const ChildEndInterrupts &) = delete;
    ~ChildEndInterrupts() { ::sigaction(SIGCHLD, &m_before, nullptr); }

private:
    struct sigaction m_before {};
};

// The children a case forks, ended and reaped however the case ends: one left running after a failed
// comparison would end later, in the middle of another case's wait.
class Children {
public:
    Children() = default;
    Children(const Children &) = delete;
    Children &operator=(const Children &) = delete;
    ~Children()
    {
        for (const pid_t child : m_running) {
            ::kill(child, SIGKILL);
            uninterrupted([child] { return ::waitpid(child, nullptr, 0); });
        }
    }
    void add(pid_t child) { m_running.push_back(child); }
    // Waits for `child` to end; its waitpid result, its status in `status`.
    pid_t reap(pid_t child, int *status = nullptr)
    {
        const pid_t reaped = uninterrupted([&] { return ::waitpid(child, status, 0); });
        if (reaped == child)
            m_running.erase(std::remove(m_running.begin(), m_running.end(), child), m_running.end());
        return reaped;
    }

private:
    std::vector<pid_t> m_running;
};
} // namespace

void TestPosixDevice::lockFilesOthersLeave_data()
{
    // "none": no lock file; "RUNNING", "ENDED": that program's id; "CRASHED": the console's own, see below
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("ageS");
    QTest::addColumn<QString>("verdict"); // "taken", "held" (by the program), "being written"

    QTest::newRow("no lock file") << QByteArray("none") << 0 << "taken";
    QTest::newRow("a running program's") << QByteArray("RUNNING") << 0 << "held";
    QTest::newRow("an ended program's") << QByteArray("ENDED") << 0 << "taken";
    QTest::newRow("empty, made a moment ago: being written") << QByteArray() << 0 << "being written";
    QTest::newRow("empty, an hour old") << QByteArray() << 3600 << "taken";
    QTest::newRow("beyond every process id") << QByteArray("4294967295\n") << 0 << "taken";
    QTest::newRow("not a number") << QByteArray("picocom\n") << 0 << "taken";
    QTest::newRow("zero") << QByteArray("         0\n") << 0 << "taken";
    QTest::newRow("negative") << QByteArray("        -1\n") << 0 << "taken";
    // A number given out again is told by who runs it now (another program than the lock names, or
    // another user than the file's owner), never by the wall clock alone: the clock may have stepped.
    QTest::newRow("a running program's number, given out again since the file was written")
        << QByteArray("RUNNING minicom") << 3600 << "taken";
    QTest::newRow("a running program's, the clock stepped forward since it was written")
        << QByteArray("RUNNING") << 3600 << "held";
    QTest::newRow("named as terminal programs name it, the clock stepped forward since")
        << QByteArray("RUNNING sleep root") << 3600 << "held";
    QTest::newRow("named as Qt's lock files name it, the clock stepped forward since")
        << QByteArray("RUNNING\nsleep\nlocalhost") << 3600 << "held";
    QTest::newRow("naming another program, written after that one started")
        << QByteArray("RUNNING\nminicom") << 0 << "held";
    QTest::newRow("the console's own, its number given out again to another program of the same user")
        << QByteArray("CRASHED") << 3600 << "taken";
}

void TestPosixDevice::lockFilesOthersLeave()
{
    QFETCH(QByteArray, content);
    QFETCH(int, ageS);
    QFETCH(QString, verdict);

    QTemporaryDir folder;
    const QString path = folder.filePath(PortLock::fileName(device));
    QProcess program;
    Children children;
    qint64 pid = 0;
    if (content == "CRASHED") {
        // The console's lock, left by a crash, its number now running another program (exec keeps it).
        const pid_t child = ::fork();
        if (child == 0) {
            PortLock lock(device, {folder.path()});
            if (!lock.acquire())
                ::execlp("sleep", "sleep", "30", static_cast<char *>(nullptr));
            ::_exit(2);
        }
        QVERIFY(child > 0);
        children.add(child);
        pid = child;
        QTRY_COMPARE(PortLock::processName(child), QStringLiteral("sleep"));
        QFile left(path);
        QVERIFY(left.open(QIODevice::ReadOnly));
        content = left.readAll(); // written again as it is, aged as the others
    } else if (content.startsWith("RUNNING") || content.startsWith("ENDED")) {
        const bool running = content.startsWith("RUNNING");
        program.start(QStringLiteral("sleep"), {running ? QStringLiteral("30") : QStringLiteral("0")});
        QVERIFY(program.waitForStarted());
        pid = program.processId();
        if (!running)
            QVERIFY(program.waitForFinished());
        // The number, then what the lock file says after it (a program's name), if anything.
        content = QByteArray::number(pid).rightJustified(10, ' ') + content.mid(running ? 7 : 5) + '\n';
    }
    if (content != "none")
        writeLock(path, content, ageS);

    {
        PortLock lock(device, {folder.path()});
        const std::optional<PortLock::Holder> holder = lock.acquire();
        if (verdict == u"taken") {
            QVERIFY2(!holder, qPrintable(holder ? holder->lockFile : QString()));
            QVERIFY(lock.isHeld());
            QFile mine(path);
            QVERIFY(mine.open(QIODevice::ReadOnly));
            QCOMPARE(mine.readAll(), ownLockContent());
        } else {
            QVERIFY(holder);
            QCOMPARE(holder->pid, verdict == u"held" ? pid_t(pid) : pid_t(0));
            QCOMPARE(holder->lockFile, path);
            QVERIFY(!lock.isHeld());
            QVERIFY(QFile::exists(path)); // another program's lock is left alone
        }
    }
    QCOMPARE(QFile::exists(path), verdict != u"taken"); // the console's own goes with it
    program.kill();
    program.waitForFinished();
}

void TestPosixDevice::twoProgramsReplaceOneStaleLock()
{
    // Two programs find the same stale lock at the same instant: one of them takes the port, never both.
    QTemporaryDir folder;
    const QString path = folder.filePath(PortLock::fileName(device));
    QProcess ended;
    ended.start(QStringLiteral("sleep"), {QStringLiteral("0")});
    QVERIFY(ended.waitForStarted());
    const QByteArray stale = QByteArray::number(ended.processId()).rightJustified(10, ' ') + '\n';
    QVERIFY(ended.waitForFinished());
    // Only once the QProcess has ended: where Qt forks, its own handler is how it learns of the end.
    const ChildEndInterrupts interrupts;
    int both = 0;
    int neither = 0;
    for (int round = 0; round < 100; ++round) {
        writeLock(path, stale, 0);
        int start[2];
        int results[2];
        int release[2];
        QCOMPARE(::pipe(start), 0);
        QCOMPARE(::pipe(results), 0);
        QCOMPARE(::pipe(release), 0);
        Children children;
        pid_t pids[2];
        for (pid_t &child : pids) {
            child = ::fork();
            if (child == 0) {
                char go = 0;
                ::close(start[1]);
                ::close(release[1]);
                if (uninterrupted([&] { return ::read(start[0], &go, 1); }) < 0) // the pipe's end: both go
                    ::_exit(2);
                PortLock lock(device, {folder.path()});
                const char taken = lock.acquire() ? 'B' : (lock.isHeld() ? 'H' : '?');
                if (::write(results[1], &taken, 1) != 1)
                    ::_exit(2);
                // Holds the port until both have answered: a holder that ended first would leave a lock
                // that is then truly stale, for the other to take.
                uninterrupted([&] { return ::read(release[0], &go, 1); });
                ::_exit(0);
            }
            QVERIFY(child > 0);
            children.add(child);
        }
        ::close(start[0]);
        ::close(results[1]);
        ::close(release[0]);
        ::close(start[1]); // both go
        char taken[2] = {};
        const ssize_t first = uninterrupted([&] { return ::read(results[0], taken, 1); });
        const ssize_t second = uninterrupted([&] { return ::read(results[0], taken + 1, 1); });
        ::close(results[0]);
        ::close(release[1]); // both may end
        QCOMPARE(first + second, ssize_t(2));
        for (const pid_t child : pids)
            QCOMPARE(children.reap(child), child);
        const int held = (taken[0] == 'H') + (taken[1] == 'H');
        both += held == 2;
        neither += held == 0;
        QFile::remove(path);
    }
    QCOMPARE(both, 0);
    QCOMPARE(neither, 0);
}

namespace {
constexpr uid_t nobody = 65534;

// A process of the test's own that runs until killed, or one that has ended: its number for a lock file.
pid_t startSleeper(bool running)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (running)
            ::pause();
        ::_exit(0);
    }
    if (!running)
        ::waitpid(pid, nullptr, 0);
    return pid;
}

// What acquire() gave in a child process of its own that runs as `uid`, after `prepare`: taken 'T'
// (the lock is this program's), 'N' (neither taken nor refused), 'R' (refused: the holder's kind, process
// id and error code, how its message reads), '?' (the child said nothing).
struct Outcome {
    char taken = '?';
    int kind = -1;
    pid_t pid = 0;
    int error = 0;
    bool namesFile = false; // the lock file, in the refusal and its message
    bool busy = false;      // the message says the port is busy
};

Outcome acquireIn(const QString &folder, uid_t uid, void (*prepare)() = nullptr)
{
    Outcome outcome;
    const QString expected = QFileInfo(folder).canonicalFilePath() + u'/' + PortLock::fileName(device);
    int results[2];
    if (::pipe(results) != 0)
        return outcome;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(results[0]);
        if (prepare)
            prepare();
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(uid) != 0))
            ::_exit(2);
        Outcome got;
        {
            PortLock lock(device, {folder});
            const std::optional<PortLock::Holder> holder = lock.acquire();
            got.taken = holder ? 'R' : (lock.isHeld() ? 'T' : 'N');
            if (holder) {
                got.kind = int(holder->kind);
                got.pid = holder->pid;
                got.error = holder->error;
                got.namesFile =
                    holder->lockFile == expected && PortLock::refusalText(*holder).contains(holder->lockFile);
                got.busy = PortLock::refusalCause(*holder) == OpenFailure::Busy;
            }
        }
        ::_exit(::write(results[1], &got, sizeof got) == ssize_t(sizeof got) ? 0 : 2);
    }
    ::close(results[1]);
    if (child < 0 || ::read(results[0], &outcome, sizeof outcome) != ssize_t(sizeof outcome))
        outcome.taken = '?';
    ::close(results[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return outcome;
}
} // namespace

void TestPosixDevice::lockFilesOfOtherUsers_data()
{
    QTest::addColumn<QByteArray>("content"); // "RUNNING", "ENDED": that program's id; "LINK": a link
    QTest::addColumn<int>("ageS");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("owner");       // of the lock file
    QTest::addColumn<int>("user");        // who runs the console
    QTest::addColumn<QString>("verdict"); // "taken", "held", "unreadable", "stale kept"

    const int root = 0;
    const int other = int(nobody);
    // A lock that cannot be read is honoured, naming the file: someone may hold the port.
    QTest::newRow("another user's that only its owner may read")
        << QByteArray("RUNNING") << 0 << 0600 << root << other << "unreadable";
    QTest::newRow("a link where the lock file should be")
        << QByteArray("LINK") << 0 << 0644 << root << root << "unreadable";
    QTest::newRow("another user's, readable, naming a running program")
        << QByteArray("RUNNING") << 0 << 0644 << root << other << "held";
    // A stale lock that cannot be removed keeps the port: the message names it, for someone who may.
    QTest::newRow("another user's stale one, which this user may not remove")
        << QByteArray("ENDED") << 0 << 0644 << root << other << "stale kept";
    QTest::newRow("a user's, whose number went to a program of another user since")
        << QByteArray("RUNNING") << 3600 << 0644 << other << root << "taken";
}

void TestPosixDevice::lockFilesOfOtherUsers()
{
    QFETCH(QByteArray, content);
    QFETCH(int, ageS);
    QFETCH(int, mode);
    QFETCH(int, owner);
    QFETCH(int, user);
    QFETCH(QString, verdict);

    // A lock folder as the system's is: every user may write there, and remove only their own files.
    QTemporaryDir folder;
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 01777), 0);
    const QString path = folder.filePath(PortLock::fileName(device));
    const QByteArray local = QFile::encodeName(path);
    pid_t program = 0;
    if (content == "LINK") {
        program = startSleeper(true);
        writeLock(path + QStringLiteral(".target"), QByteArray::number(program) + '\n', 0);
        QCOMPARE(
            ::symlink(QFile::encodeName(path + QStringLiteral(".target")).constData(), local.constData()), 0);
    } else {
        program = startSleeper(content == "RUNNING");
        writeLock(path, QByteArray::number(program).rightJustified(10, ' ') + '\n', ageS);
        QCOMPARE(::chmod(local.constData(), mode_t(mode)), 0);
        QCOMPARE(::lchown(local.constData(), uid_t(owner), gid_t(owner)), 0);
    }

    const Outcome got = acquireIn(folder.path(), uid_t(user));
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
    if (verdict == u"taken") {
        QCOMPARE(got.taken, 'T');
        return;
    }
    QCOMPARE(got.taken, 'R');
    QVERIFY(got.namesFile);
    QCOMPARE(got.busy, verdict != u"stale kept"); // a stale lock kept is no program's: it is named
    if (verdict == u"held") {
        QCOMPARE(got.kind, int(PortLock::Holder::Running));
        QCOMPARE(got.pid, program);
    } else if (verdict == u"unreadable") {
        QCOMPARE(got.kind, int(PortLock::Holder::Unreadable));
    } else {
        QCOMPARE(got.kind, int(PortLock::Holder::StaleKept));
        QCOMPARE(got.error, EPERM);
    }
    QVERIFY(QFileInfo(path).isSymLink() || QFileInfo::exists(path)); // another's lock is left alone
}

void TestPosixDevice::ownLockFileTakesNothingPlanted_data()
{
    // Another user, who can write in the lock folder too, leaves something where the console's own
    // file is being written: under the name it had when that name was the process id.
    QTest::addColumn<QString>("planted"); // "link": to a file of the user who runs the console; "file"
    QTest::newRow("a link to the user's own notes") << "link";
    QTest::newRow("a file of another user's") << "file";
}

void TestPosixDevice::ownLockFileTakesNothingPlanted()
{
    QFETCH(QString, planted);
    QTemporaryDir folder;
    QCOMPARE(::chmod(QFile::encodeName(folder.path()).constData(), 01777), 0);
    const QString path = folder.filePath(PortLock::fileName(device));
    const QString foreseen = path + u'.' + QString::number(::getpid());
    const QString notes = folder.filePath(QStringLiteral("notes"));
    writeLock(notes, "notes\n", 0);
    if (planted == u"link") {
        QCOMPARE(::symlink(QFile::encodeName(notes).constData(), QFile::encodeName(foreseen).constData()), 0);
    } else {
        writeLock(foreseen, "notes\n", 0);
        QCOMPARE(::chown(QFile::encodeName(foreseen).constData(), nobody, nobody), 0);
    }

    PortLock lock(device, {folder.path()});
    const std::optional<PortLock::Holder> holder = lock.acquire();
    QVERIFY2(!holder, qPrintable(holder ? holder->lockFile : QString()));
    QVERIFY(lock.isHeld());
    // What was planted is as it was; the lock is a file of the console's own, whole, that every program
    // may read.
    QFile kept(planted == u"link" ? notes : foreseen);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("notes\n"));
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QCOMPARE(st.st_uid, ::geteuid());
    QCOMPARE(st.st_mode & 07777, mode_t(0644));
    QFile mine(path);
    QVERIFY(mine.open(QIODevice::ReadOnly));
    QCOMPARE(mine.readAll(), ownLockContent());
}

void TestPosixDevice::ownLockFileThatCannotBeWritten()
{
    // The folder is writable but the lock cannot be written whole (here: no room for a byte): the port
    // is refused with the lock file named, rather than used with no lock, and nothing is left behind.
    QTemporaryDir folder;
    const Outcome got = acquireIn(folder.path(), 0, [] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        ::setrlimit(RLIMIT_FSIZE, &none);
    });
    QCOMPARE(got.taken, 'R');
    QCOMPARE(got.kind, int(PortLock::Holder::NotMade));
    QCOMPARE(got.error, EFBIG);
    QVERIFY(got.namesFile);
    QVERIFY(!got.busy);
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
}

void TestPosixDevice::markedInputIsDecoded_data()
{
    QTest::addColumn<QByteArray>("read"); // as the line discipline hands it over, with PARMRK
    QTest::addColumn<QByteArray>("data"); // whole bytes in hex, a byte flagged spoiled after a "!"
    QTest::newRow("a doubled 0xFF is one") << QByteArray::fromHex("01ffff02") << QByteArray("01 ff 02");
    QTest::newRow("0xFF then 0x00 is two data bytes")
        << QByteArray::fromHex("ffff0003") << QByteArray("ff 00 03");
    QTest::newRow("0xFF after 0xFF") << QByteArray::fromHex("ffffffff41") << QByteArray("ff ff 41");
    QTest::newRow("a flagged byte in its place")
        << QByteArray::fromHex("01ff004102") << QByteArray("01 !41 02");
    QTest::newRow("a flagged 0x00 and a flagged 0xFF")
        << QByteArray::fromHex("ff0000ff00ff") << QByteArray("!00 !ff");
    QTest::newRow("an undoubled 0xFF is kept with what follows")
        << QByteArray::fromHex("01ff4102") << QByteArray("01 ff 41 02");
}

void TestPosixDevice::markedInputIsDecoded()
{
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, data);
    // Whole, and cut at every place: a mark cut across reads waits for its other bytes.
    for (qsizetype cut = 0; cut <= read.size(); ++cut) {
        MarkedInput input;
        QList<QByteArray> got;
        QList<MarkedInput::Piece> pieces = input.decode(read.constData(), cut);
        pieces += input.decode(read.constData() + cut, read.size() - cut);
        for (const auto &piece : pieces)
            got << (piece.spoiled ? "!" + piece.bytes.toHex() : piece.bytes.toHex(' '));
        QCOMPARE(got.join(' '), data);
    }
}

void TestPosixDevice::noThreadOutlivesTheProgram_data()
{
    QTest::addColumn<int>("workMs"); // how long the system keeps the work beside waiting
    QTest::newRow("work that ends in time is waited for") << 50;
    QTest::newRow("work that the system keeps waiting ends with the process") << 5000;
}

void TestPosixDevice::noThreadOutlivesTheProgram()
{
    // In a child process of its own, as the program's end is: work beside (a port's final close), then
    // the end of main.
    QFETCH(int, workMs);
    const ChildEndInterrupts interrupts;
    QTemporaryDir folder;
    const QByteArray marker = QFile::encodeName(folder.filePath(QStringLiteral("after")));
    QElapsedTimer clock;
    clock.start();
    Children children;
    const pid_t child = ::fork();
    if (child == 0) {
        runBounded(
            10, [workMs] { ::usleep(useconds_t(workMs) * 1000); },
            [marker] { ::close(::open(marker.constData(), O_CREAT | O_WRONLY, 0644)); });
        const int status = finishWorkBeside(3, 250);
        ::_exit(status == 3 && workBesideRunning() == 0 ? 4 : 5); // returned: nothing was left
    }
    QVERIFY(child > 0);
    children.add(child);
    int status = 0;
    QCOMPARE(children.reap(child, &status), child);
    QVERIFY(WIFEXITED(status));
    if (workMs < 250) {
        QCOMPARE(WEXITSTATUS(status), 4);
        QVERIFY(QFile::exists(QString::fromLocal8Bit(marker)));
    } else {
        QCOMPARE(WEXITSTATUS(status), 3); // ended with the program's own status, without waiting
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!QFile::exists(QString::fromLocal8Bit(marker)));
    }
}

void TestPosixDevice::accessRefusedNamesTheNodesGroup_data()
{
    QTest::addColumn<QString>("group"); // of the node; empty: no node
    QTest::addColumn<QString>("text");
    QTest::newRow("Debian's group")
        << "dialout"
        << "accès refusé (l'utilisateur doit appartenir au groupe dialout, celui de ";
    QTest::newRow("another distribution's")
        << "uucp"
        << "accès refusé (l'utilisateur doit appartenir au groupe uucp, celui de ";
    QTest::newRow("no node to tell") << ""
                                     << "accès refusé";
}

void TestPosixDevice::accessRefusedNamesTheNodesGroup()
{
    QFETCH(QString, group);
    QFETCH(QString, text);
    QTemporaryDir folder;
    const QString node = folder.filePath(QStringLiteral("ttyUSB0"));
    if (!group.isEmpty()) {
        const ::group *entry = ::getgrnam(group.toLocal8Bit().constData());
        if (!entry)
            QSKIP("this system has no such group");
        QFile file(node);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        if (::chown(QFile::encodeName(node).constData(), uid_t(-1), entry->gr_gid) != 0)
            QSKIP("changing a file's group needs root or membership");
        text += node + u')';
    }
    QCOMPARE(accessRefusedText(node), text);
}

QTEST_APPLESS_MAIN(TestPosixDevice)
#include "tst_posixdevice.moc"
