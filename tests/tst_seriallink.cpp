// SerialLink against a real pseudo-terminal: write queue, input queue, notifications.
#include "failure.h"
#include "ptypair.h"
#include "seriallink.h"

#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <thread>

class TestSerialLink : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void writesKeepOrderWhenTheKernelIsFull();
    void closeLetsQueuedBytesGoOut();
    void portNumberIsFixedWhileOpen();
    void readReturnsOldestFirstUpToTheReadLength();
    void notifiesAtThresholdAndAgainAfterARead();

private:
    PtyPair *m_pty = nullptr;
    SerialLink *m_link = nullptr;
};

void TestSerialLink::init()
{
    m_pty = new PtyPair;
    QVERIFY(m_pty->isValid());
    m_link = new SerialLink;
    m_link->setPortNumber(static_cast<PortNumber>(m_pty->portNumber()));
    m_link->open();
    QVERIFY(m_link->isOpen());
}

void TestSerialLink::cleanup()
{
    delete m_link;
    delete m_pty;
}

namespace {
QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}
} // namespace

void TestSerialLink::writesKeepOrderWhenTheKernelIsFull()
{
    // Far more than a pseudo-terminal buffers: most of it waits in the link's queue.
    const QByteArray all = pattern(300000);
    for (qsizetype at = 0; at < all.size(); at += 2)
        m_link->write(all.mid(at, 2));
    QVERIFY2(m_link->outputQueued() > 0, "the kernel took everything: the queue was not exercised");
    const QByteArray got = m_pty->readAtLeast(all.size(), 10000);
    QCOMPARE(got.size(), all.size());
    QVERIFY(got == all);
    QCOMPARE(m_link->outputQueued(), qsizetype(0));
}

void TestSerialLink::closeLetsQueuedBytesGoOut()
{
    m_pty->closeSlave();
    // Queue more than the pseudo-terminal holds, then read at the peer while the link closes.
    const QByteArray all = pattern(40000);
    m_link->write(all);
    QVERIFY(m_link->outputQueued() > 0);
    QByteArray got;
    std::atomic<bool> closed = false;
    std::thread reader([&] {
        while (!closed || got.size() < all.size()) {
            const QByteArray more = m_pty->readAvailable(50);
            if (more.isEmpty() && closed)
                break;
            got += more;
        }
    });
    m_link->close();
    closed = true;
    reader.join();
    QCOMPARE(got.size(), all.size());
    QVERIFY(got == all);
}

void TestSerialLink::portNumberIsFixedWhileOpen()
{
    const PortNumber before = m_link->portNumber();
    QVERIFY_THROWS_EXCEPTION(Failure, m_link->setPortNumber(1));
    QCOMPARE(m_link->portNumber(), before);
}

void TestSerialLink::readReturnsOldestFirstUpToTheReadLength()
{
    QVERIFY(m_pty->send(QByteArray::fromHex("0001ff0203")));
    QTRY_COMPARE(m_link->bytesWaiting(), qsizetype(5));
    m_link->setReadLength(3);
    QCOMPARE(m_link->read().toHex(' '), QByteArray("00 01 ff"));
    QCOMPARE(m_link->bytesWaiting(), qsizetype(2));
    QCOMPARE(m_link->read().toHex(' '), QByteArray("02 03"));
    QCOMPARE(m_link->read(), QByteArray());
}

void TestSerialLink::notifiesAtThresholdAndAgainAfterARead()
{
    QList<int> events;
    connect(m_link, &SerialLink::notified, this, [&] { events << m_link->commEvent(); });

    QVERIFY(m_pty->send(QByteArray::fromHex("0102")));
    QTest::qWait(100);
    QCOMPARE(events, QList<int>{}); // two bytes: below the threshold

    QVERIFY(m_pty->send(QByteArray::fromHex("03040506")));
    QTRY_COMPARE(events, QList<int>{SerialLink::Received});
    m_link->setReadLength(3);
    QCOMPARE(m_link->read().toHex(), QByteArray("010203"));
    // Three still wait: raised again, from the event loop rather than inside read().
    QCOMPARE(events.size(), 1);
    QTRY_COMPARE(events, (QList<int>{SerialLink::Received, SerialLink::Received}));
    QCOMPARE(m_link->read().toHex(), QByteArray("040506"));
    QTest::qWait(50);
    QCOMPARE(events.size(), 2);
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
