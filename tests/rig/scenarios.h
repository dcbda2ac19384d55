// LineScenarios: the console's behaviour end to end, written once and run on every rig. A rig's test
// class derives from this, gives the peer that plays its device and adds its own tests beside these.
#pragma once

#include "consolefixture.h"
#include "frames.h"
#include "linepeer.h"
#include "portlist.h"

class LineScenarios : public ConsoleFixture {
    Q_OBJECT
protected:
    virtual LinePeer &peer() = 0;
    // Com box texts that name no port this rig can open, what the failure must name, and whether it
    // ends with the ports present.
    struct BadPort {
        const char *row, *text, *named;
        bool portsNamed;
    };
    virtual QList<BadPort> badPorts() const = 0;

    // Connecter on the peer's port: the console holds it, with nothing to report.
    void connectToPeer()
    {
        typePortAndConnect(peer().portText());
        QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
        QVERIFY(m_window->link().isOpen());
        QCOMPARE(m_window->link().devicePath(), peer().devicePath());
        QVERIFY(m_window->link().binaryInput());
        peer().connected();
    }
    bool nothingMoreComes() { return peer().take(1, 50).isEmpty(); }
private slots:
    void everyButtonPutsItsFrameOnTheLine_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("line");
        for (const ButtonFrame &f : buttonFrames)
            QTest::newRow(rowName(f)) << f.button << f.index << f.bytes();
    }
    void everyButtonPutsItsFrameOnTheLine()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        QFETCH(QByteArray, line);
        connectToPeer();
        QPushButton *b = findButton(m_window, name, index);
        QVERIFY(b);
        // Twice: nothing is remembered between presses, so the frame goes out twice.
        QTest::mouseClick(b, Qt::LeftButton);
        QTest::mouseClick(b, Qt::LeftButton);
        QCOMPARE(peer().take(2 * line.size(), peer().waitMs()).toHex(' '), (line + line).toHex(' '));
        QVERIFY(nothingMoreComes());
        QVERIFY(m_sink->failures.isEmpty());
    }

    void lineSettings()
    {
        connectToPeer();
        // A break is not data (ignbrk). On Linux INPCK has the UART look at the error bits, and PARMRK
        // without IGNPAR has the line discipline mark a byte flagged with an error in its place; Windows
        // drivers have no such settings (wine's own mapping shows).
#ifdef _WIN32
        const char *const errorChecks = "parmrk=0 inpck=0 ignpar=1";
#else
        const char *const errorChecks = "parmrk=1 inpck=1 ignpar=0";
#endif
        const LineSettings expected =
            settingsFrom(QByteArray("ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 "
                                    "crtscts=0 clocal=1 cread=1 ixon=0 ixoff=0 ixany=0 "
                                    "icrnl=0 inlcr=0 igncr=0 istrip=0 icanon=0 echo=0 "
                                    "isig=0 iexten=0 opost=0 ignbrk=1 ") +
                         errorChecks);
        const LineSettings seen = peer().settings();
        QVERIFY2(seen.contains("ospeed"), "every rig reads the speed");
        QStringList unseen;
        QStringList wrong;
        for (auto [name, value] : expected.asKeyValueRange()) {
            if (!seen.contains(name))
                unseen << name;
            else if (seen[name] != value)
                wrong << QStringLiteral("%1=%2").arg(name).arg(seen[name]);
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u' ')));
        if (!unseen.isEmpty())
            qInfo("not seen on this rig: %s", qPrintable(unseen.join(u' ')));
        // Raw both ways: a frame right after opening, with its 0x00 and 0x04 (end of text to a cooked
        // line), arrives untouched.
        click(m_window, QStringLiteral("Administration"), 0);
        QCOMPARE(peer().take(6, peer().waitMs()).toHex(' '), QByteArray("01 02 00 00 04 00"));
    }

    void envoyerSendsTheTypedBytes_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("failure"); // empty: none; else a piece of the message
        QTest::newRow("design text") << "01 01 01 04" << QByteArray::fromHex("01010104") << "";
        QTest::newRow("every notation") << "0 255 0x7f 010" << QByteArray::fromHex("00ff7f0a") << "";
        QTest::newRow("7 then 300: 07 and nothing after")
            << "7 300 8" << QByteArray::fromHex("07") << "« 300 »";
        QTest::newRow("trailing space: all sent, then fails")
            << "1 2 " << QByteArray::fromHex("0102") << "vide";
        QTest::newRow("empty box: nothing") << "" << QByteArray() << "vide";
    }
    void envoyerSendsTheTypedBytes()
    {
        QFETCH(QString, list);
        QFETCH(QByteArray, line);
        QFETCH(QString, failure);
        connectToPeer();
        sendList(list);
        QCOMPARE(peer().take(line.size(), peer().waitMs()).toHex(' '), line.toHex(' '));
        QVERIFY(nothingMoreComes());
        QCOMPARE(findBox(m_window, QStringLiteral("ListeCar"))->text(), list); // never changed
        if (failure.isEmpty()) {
            QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.value(0)));
            QCOMPARE(m_sink->endStatus, -1);
        } else {
            QCOMPARE(m_sink->failures.size(), 1);
            QVERIFY2(m_sink->failures.first().contains(failure), qPrintable(m_sink->failures.first()));
            QCOMPARE(m_sink->endStatus, 1);
            QVERIFY(!m_window->link().isOpen());
        }
    }

    void pressBeforeConnecterFailsWithNothingSent_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("index");
        QTest::newRow("Envoyer") << "Envoyer" << -1;
        QTest::newRow("Eleves 5") << "Eleves" << 5;
    }
    void pressBeforeConnecterFailsWithNothingSent()
    {
        QFETCH(QString, name);
        QFETCH(int, index);
        click(m_window, name, index);
        QCOMPARE(m_sink->failures.size(), 1);
        QVERIFY2(m_sink->failures.first().contains(QStringLiteral("n'est pas ouvert")),
                 qPrintable(m_sink->failures.first()));
        QCOMPARE(m_sink->endStatus, 1);
        QVERIFY(nothingMoreComes());
        // Once the program has ended no further operation runs.
        QVERIFY(m_window->hasEnded());
        click(m_window, QStringLiteral("Prof"));
        QCOMPARE(m_sink->failures.size(), 1);
    }

    void badPortFailsBeforeAnythingIsSet_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        QTest::addColumn<bool>("portsNamed");
        for (const BadPort &p : badPorts())
            QTest::newRow(p.row) << p.text << p.named << p.portsNamed;
    }
    void badPortFailsBeforeAnythingIsSet()
    {
        QFETCH(QString, text);
        QFETCH(QString, named);
        QFETCH(bool, portsNamed);
        typePortAndConnect(text);
        QCOMPARE(m_sink->failures.size(), 1);
        const QString message = m_sink->failures.first();
        QVERIFY2(message.contains(named), qPrintable(message));
        // A wrong number ends the program: the message tells which numbers would have worked.
        const PortListing listing = listSerialPorts();
        const QList<PresentPort> ports = listing.value_or(QList<PresentPort>{});
        if (portsNamed)
            QVERIFY2(message.endsWith(QStringLiteral(". ") + presentPortsSentence(listing)),
                     qPrintable(message));
        else
            QVERIFY2(!message.contains(QStringLiteral("présent")), qPrintable(message));
        if (peer().listed()) // so that the sentence is seen to name a port
            QVERIFY2(std::any_of(ports.begin(), ports.end(),
                                 [&](const PresentPort &p) { return p.number == peer().portText().toInt(); }),
                     qPrintable(presentPortsSentence(listing)));
        QCOMPARE(m_sink->endStatus, 1);
        QVERIFY(!m_window->link().isOpen());
    }

    void answerIsShownAsThreeDecimals_data()
    {
        QTest::addColumn<QByteArray>("before"); // on the line before Connecter
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("text");
        QTest::newRow("01 02 FF") << QByteArray() << QByteArray::fromHex("0102ff") << "1 2 255";
        // 00 bytes are data, whatever a line does with breaks and framing errors.
        QTest::newRow("00 00 00") << QByteArray() << QByteArray::fromHex("000000") << "0 0 0";
        // Noise or a device's chatter from before the port opened is not the start of an answer: taken
        // in, it would shift this answer and every one after it ("85 102 7").
        QTest::newRow("two bytes from before Connecter are dropped")
            << QByteArray::fromHex("5566") << QByteArray::fromHex("070809") << "7 8 9";
    }
    void answerIsShownAsThreeDecimals()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, reply);
        QFETCH(QString, text);
        if (!before.isEmpty())
            peer().send(before);
        connectToPeer();
        // Byte by byte: nothing is shown until the third arrives.
        peer().send(reply.left(2));
        QTest::qWait(50);
        QCOMPARE(m_sink->answers, QStringList());
        peer().send(reply.mid(2));
        QTRY_COMPARE_WITH_TIMEOUT(m_sink->answers, QStringList{text}, peer().waitMs());
        QCOMPARE(m_window->link().bytesWaiting(), qsizetype(0));
    }

    // Answers framed by the line's silences. A script of what the device does: "0102" sends those bytes,
    // "+300" waits 300 ms, "spoil 010203 1" sends them with the second spoiled on the line, "error" is a
    // framing error with no byte, "shown 1" waits until one box has been shown, and what comes after "box"
    // happens while the first answer's box is open. Then
    // the boxes shown, in order: an answer's text whole, a notice's by a piece of it.
    void answersAreFramedByTheLinesSilences_data()
    {
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("six bytes at once give two boxes in order")
            << QStringList{"0102ff040506"} << QStringList{"answer: 1 2 255", "answer: 4 5 6"};
        QTest::newRow("two bytes over are kept for the next answer")
            << QStringList{"0102030405", "shown 1", "+50", "06"}
            << QStringList{"answer: 1 2 3", "answer: 4 5 6"};
        // A device's chatter as it starts, a glitch, a spare byte: told, and the answer after it whole.
        QTest::newRow("a stray byte, then an answer 2 s later")
            << QStringList{"f0", "+2000", "010203"}
            << QStringList{"notice: Réponse incomplète : 240", "answer: 1 2 3"};
        QTest::newRow("two bytes then silence, then an answer")
            << QStringList{"0102", "shown 1", "040506"}
            << QStringList{"notice: Réponse incomplète : 1 2", "answer: 4 5 6"};
        // A slow device: no silence of a second between its bytes.
        QTest::newRow("an answer sent a byte every 300 ms")
            << QStringList{"01", "+300", "02", "+300", "03"} << QStringList{"answer: 1 2 3"};
        // When bytes came decides, not when a box closed.
        QTest::newRow("a stray byte and an answer 2 s later, both while a box is open")
            << QStringList{"0a0b0c", "box", "f0", "+2000", "010203", "+300"}
            << QStringList{"answer: 10 11 12", "notice: Réponse incomplète : 240", "answer: 1 2 3"};
        // A device switched off and on: the error came before the answer, which shows whole.
        QTest::newRow("a framing error with no byte, then an answer")
            << QStringList{"error", "+1500", "010203"}
            << QStringList{"notice: (1 erreur de trame), aucun octet reçu", "answer: 1 2 3"};
        QTest::newRow("a spoiled byte inside an answer: told, the next answer whole")
            << QStringList{"spoil 010203 1", "+1500", "040506"}
            << QStringList{"notice: trame) : 3 octets reçus, écartés", "answer: 4 5 6"};
        QTest::newRow("an answer before the spoiled bytes is shown")
            << QStringList{"010203", "+200", "spoil 0405 1", "+1500", "060708"}
            << QStringList{"answer: 1 2 3", "notice: trame) : 2 octets reçus, écartés", "answer: 6 7 8"};
        // A device at another speed, or one that streams: one notice for the whole stretch, its first bytes
        // and its count, however long it lasts.
        QStringList stream{"spoil " + QByteArray(96, '\x11').toHex() + " 1"};
        for (int i = 0; i < 25; ++i)
            stream << "+100" << QByteArray(96, char(0x20 + i)).toHex();
        stream << "+1500"
               << "0a0b0c";
        QTest::newRow("a continuous stream, spoiled")
            << stream << QStringList{"notice: trame) : 2496 octets reçus, écartés", "answer: 10 11 12"};
    }
    void answersAreFramedByTheLinesSilences()
    {
        QFETCH(QStringList, script);
        QFETCH(QStringList, boxes);
        connectToPeer();
        QString cannot;    // why this rig cannot play the script
        bool late = false; // a box that should have been shown by then was not
        const auto play = [&](const QStringList &steps) {
            for (const QString &step : steps) {
                if (step.startsWith(u'+'))
                    QTest::qWait(step.mid(1).toInt());
                else if (step.startsWith(u"shown "))
                    late |= !QTest::qWaitFor([&] { return m_sink->boxes.size() >= step.mid(6).toInt(); },
                                             SerialLink::SilenceMs + peer().waitMs());
                else if (step == u"error")
                    cannot = peer().errorWithoutByte();
                else if (step.startsWith(u"spoil "))
                    cannot = peer().sendSpoiled(QByteArray::fromHex(step.section(u' ', 1, 1).toLatin1()),
                                                step.section(u' ', 2, 2).toInt());
                else
                    peer().send(QByteArray::fromHex(step.toLatin1()));
                if (!cannot.isEmpty())
                    return;
            }
        };
        const qsizetype box = script.indexOf(QStringLiteral("box"));
        m_sink->onAnswer = [&, inBox = box < 0 ? QStringList() : script.mid(box + 1)](
                               const QString &) mutable { play(std::exchange(inBox, {})); };
        play(script.mid(0, box));
        if (!cannot.isEmpty())
            QSKIP(qPrintable(cannot));
        QVERIFY2(!late, qPrintable(m_sink->boxes.join(u'\n')));
        QTRY_VERIFY_WITH_TIMEOUT(m_sink->boxes.size() >= boxes.size(),
                                 SerialLink::SilenceMs + peer().waitMs());
        // Nothing more comes once the line has been silent a while.
        QTest::qWait(SerialLink::SilenceMs + 300);
        expectBoxes(m_sink->boxes, boxes);
        QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
        QCOMPARE(m_sink->endStatus, -1);
        QCOMPARE(m_window->link().bytesWaiting(), qsizetype(0));
    }

    void longListIsSentWholeAndInOrder()
    {
        // Far longer than a line edit takes by default (32767 characters), every value many times.
        QStringList values;
        QByteArray line;
        for (int i = 0; i < 65536; ++i) {
            const int value = (i * 7 + i / 256) % 256;
            values << QString::number(value);
            line.append(char(value));
        }
        connectToPeer();
        sendList(values.join(u' '));
        QCOMPARE(findBox(m_window, QStringLiteral("ListeCar"))->text().size(), values.join(u' ').size());
        QVERIFY2(m_sink->failures.isEmpty(), qPrintable(m_sink->failures.join(u'\n')));
        const QByteArray got = peer().take(line.size(), 60000);
        QCOMPARE(got.size(), line.size());
        QVERIFY(got == line);
    }

    void frameWrittenJustBeforeCloseArrivesWhole()
    {
        connectToPeer();
        click(m_window, QStringLiteral("Eleves"), 3);
        click(m_window, QStringLiteral("Prof"));
        // Closing right away: the close lets the frames go out before it releases the port.
        m_window->close();
        QVERIFY(!m_window->link().isOpen());
        QCOMPARE(peer().take(11, peer().waitMs()).toHex(' '), QByteArray("01 02 03 03 04 00 01 01 01 04 00"));
        QVERIFY(m_sink->failures.isEmpty());
    }

    void closingWithoutConnecterTouchesNothing()
    {
        m_window->close();
        QVERIFY(!m_window->link().isOpen());
        QVERIFY(m_sink->failures.isEmpty());
        QCOMPARE(m_sink->endStatus, -1);
        QVERIFY(nothingMoreComes());
    }

    void lostLineIsReportedOnceWithoutSpinning()
    {
        connectToPeer();
        const int handles = peer().handlesOnLine();
        if (handles >= 0)
            QCOMPARE(handles, 1); // the console's own
        int lost = 0;
        connect(&m_window->link(), &SerialLink::notified, this,
                [&] { lost += m_window->link().commEvent() == SerialLink::LineLost; });
        const QString cannot = peer().hangUp();
        if (!cannot.isEmpty())
            QSKIP(qPrintable(cannot));
        QTRY_COMPARE_WITH_TIMEOUT(lost, 1, peer().waitMs());
        const double cpuBefore = processCpuSeconds();
        QTest::qWait(600);
        const double cpuUsed = processCpuSeconds() - cpuBefore;
        QCOMPARE(lost, 1);
        // A loop spinning on the dead line would burn nearly all of the 600 ms.
        QVERIFY2(cpuUsed < 0.2, qPrintable(QString::number(cpuUsed)));
        // The console has let the device go: the system gives a USB adapter's number out again only
        // after the last close, so one plugged back in would otherwise come back under another number.
        if (handles >= 0)
            QCOMPARE(peer().handlesOnLine(), 0);
        QVERIFY(m_window->link().isOpen());  // for the console, the port stays open, and lost
        QVERIFY(m_sink->failures.isEmpty()); // nothing is shown until the console writes again
        click(m_window, QStringLiteral("Prof"));
        QCOMPARE(m_sink->failures.size(), 1);
        const QString message = m_sink->failures.first();
        QVERIFY2(message.contains(QStringLiteral("perdue")) && message.contains(m_window->link().portName()),
                 qPrintable(message));
        QCOMPARE(m_sink->endStatus, 1);
    }

    void realAnswerBoxIsPlainModalWithOk()
    {
        ConsoleWindow window; // its own sink: real message boxes
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ::typePortAndConnect(&window, peer().portText());
        QVERIFY(window.link().isOpen());
        peer().connected();
        BoxWatcher boxes;
        peer().send(QByteArray::fromHex("0102ff07080a"));
        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 2, peer().waitMs());
        for (const SeenBox &box : boxes.seen) {
            QCOMPARE(box.title, QStringLiteral("Test liaison série"));
            QCOMPARE(box.icon, QMessageBox::NoIcon);
            QCOMPARE(box.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
        }
        QCOMPARE(boxes.seen[0].text + '|' + boxes.seen[1].text, QStringLiteral("1 2 255|7 8 10"));
    }

    void realFailurePathShowsCriticalBoxAndEndsWithStatusOne()
    {
        // The window's own sink: a real critical box, then the end of the event loop with status 1.
        ConsoleWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        BoxWatcher boxes;
        QTimer::singleShot(0, &window, [&] { click(&window, QStringLiteral("Prof")); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); }); // a box nobody answers
        QCOMPARE(QCoreApplication::exec(), 1);
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(boxes.seen[0].title, QStringLiteral("Test liaison série"));
        QVERIFY2(boxes.seen[0].text.contains(QStringLiteral("n'est pas ouvert")),
                 qPrintable(boxes.seen[0].text));
    }
};
