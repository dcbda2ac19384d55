// The Linux device's own files: lock files as other programs leave them (in a folder of the test's own),
// and the group that a refused user lacks.
#include "bounded.h"
#include "portlock.h"
#include "posixerrors.h"
#include "termiosline.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
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
    void markedInputIsDecoded_data();
    void markedInputIsDecoded();
    void noThreadOutlivesTheProgram_data();
    void noThreadOutlivesTheProgram();
    void accessRefusedNamesTheNodesGroup_data();
    void accessRefusedNamesTheNodesGroup();
};

namespace {
const QString device = QStringLiteral("/dev/ttyUSB0");

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
} // namespace

void TestPosixDevice::lockFilesOthersLeave_data()
{
    QTest::addColumn<QByteArray>("content"); // "none": no lock file; "RUNNING", "ENDED": that program's id
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
    QTest::newRow("a running program's number, given out again since the file was written")
        << QByteArray("RUNNING") << 3600 << "taken";
}

void TestPosixDevice::lockFilesOthersLeave()
{
    QFETCH(QByteArray, content);
    QFETCH(int, ageS);
    QFETCH(QString, verdict);

    QTemporaryDir folder;
    const QString path = folder.filePath(PortLock::fileName(device));
    QProcess program;
    qint64 pid = 0;
    if (content == "RUNNING" || content == "ENDED") {
        program.start(QStringLiteral("sleep"),
                      {content == "RUNNING" ? QStringLiteral("30") : QStringLiteral("0")});
        QVERIFY(program.waitForStarted());
        pid = program.processId();
        if (content == "ENDED")
            QVERIFY(program.waitForFinished());
        content = QByteArray::number(pid).rightJustified(10, ' ') + '\n';
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
            QCOMPARE(mine.readAll(), QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n');
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
    int both = 0;
    int neither = 0;
    for (int round = 0; round < 100; ++round) {
        writeLock(path, stale, 0);
        int start[2];
        int results[2];
        QCOMPARE(::pipe(start), 0);
        QCOMPARE(::pipe(results), 0);
        pid_t children[2];
        for (pid_t &child : children) {
            child = ::fork();
            if (child == 0) {
                char go = 0;
                ::close(start[1]);
                if (::read(start[0], &go, 1) < 0) // returns at the end of the pipe: when both may go
                    ::_exit(2);
                PortLock lock(device, {folder.path()});
                const char taken = lock.acquire() ? 'B' : (lock.isHeld() ? 'H' : '?');
                if (::write(results[1], &taken, 1) != 1)
                    ::_exit(2);
                ::usleep(50 * 1000); // holds the port a moment, then ends without a word
                ::_exit(0);
            }
        }
        ::close(start[0]);
        ::close(results[1]);
        ::close(start[1]); // both go
        char taken[2] = {};
        QCOMPARE(::read(results[0], taken, 1) + ::read(results[0], taken + 1, 1), ssize_t(2));
        ::close(results[0]);
        for (pid_t child : children)
            ::waitpid(child, nullptr, 0);
        const int held = (taken[0] == 'H') + (taken[1] == 'H');
        both += held == 2;
        neither += held == 0;
        QFile::remove(path);
    }
    QCOMPARE(both, 0);
    QCOMPARE(neither, 0);
}

void TestPosixDevice::markedInputIsDecoded_data()
{
    QTest::addColumn<QByteArray>("read"); // as the line discipline hands it over, with PARMRK
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("a doubled 0xFF is one")
        << QByteArray::fromHex("01ffff02") << QByteArray::fromHex("01ff02");
    QTest::newRow("0xFF then 0x00 is two data bytes")
        << QByteArray::fromHex("ffff0003") << QByteArray::fromHex("ff0003");
    QTest::newRow("0xFF after 0xFF") << QByteArray::fromHex("ffffffff41") << QByteArray::fromHex("ffff41");
    QTest::newRow("an undoubled 0xFF is kept with what follows")
        << QByteArray::fromHex("01ff004102") << QByteArray::fromHex("01ff004102");
}

void TestPosixDevice::markedInputIsDecoded()
{
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, data);
    // Whole, and cut at every place: a pair cut across reads waits for its other half.
    for (qsizetype cut = 0; cut <= read.size(); ++cut) {
        MarkedInput input;
        QByteArray got = input.decode(read.constData(), cut);
        got += input.decode(read.constData() + cut, read.size() - cut);
        QCOMPARE(got.toHex(' '), data.toHex(' '));
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
    QTemporaryDir folder;
    const QByteArray marker = QFile::encodeName(folder.filePath(QStringLiteral("after")));
    QElapsedTimer clock;
    clock.start();
    const pid_t child = ::fork();
    if (child == 0) {
        runBounded(
            10, [workMs] { ::usleep(useconds_t(workMs) * 1000); },
            [marker] { ::close(::open(marker.constData(), O_CREAT | O_WRONLY, 0644)); });
        const int status = finishWorkBeside(3, 250);
        ::_exit(status == 3 && workBesideRunning() == 0 ? 4 : 5); // returned: nothing was left
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
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
