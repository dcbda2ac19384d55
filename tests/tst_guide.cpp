// The technician's guide as built: one page that stands alone once installed. Every picture of its source
// is inside it, and every link leads to a place in the page or to the web.
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUrl>

namespace {

QString readAll(const char *path)
{
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestGuide : public QObject {
    Q_OBJECT
private slots:
    void standsAlone();
};

void TestGuide::standsAlone()
{
    const QString html = readAll(LIAISON_GUIDE_HTML);
    const QString source = readAll(LIAISON_GUIDE_SOURCE);
    QVERIFY(!html.isEmpty() && !source.isEmpty());
    QVERIFY(html.contains(u"<title>Guide de Test liaison série</title>"));
    QVERIFY(html.contains(u"lang=\"fr\""));

    // Pictures, styles and scripts come from inside the page, never from beside it or from the web.
    const QRegularExpression sources(
        QStringLiteral(R"re((?:src|srcset)="([^"]*)"|<link\b[^>]*href="([^"]*)")re"));
    int pictures = 0;
    for (const auto &match : sources.globalMatch(html)) {
        const QString from = match.captured(1) + match.captured(2);
        QVERIFY2(from.startsWith(u"data:"), qPrintable(from));
        pictures += from.startsWith(u"data:image/") ? 1 : 0;
    }
    QCOMPARE(pictures, source.count(QRegularExpression(QStringLiteral(R"re(!\[[^\]]*\]\()re"))));

    QSet<QString> ids;
    for (const auto &match : QRegularExpression(QStringLiteral(R"re(\bid="([^"]*)")re")).globalMatch(html))
        ids.insert(match.captured(1));
    int inPage = 0;
    for (const auto &match :
         QRegularExpression(QStringLiteral(R"re(<a\b[^>]*\bhref="([^"]*)")re")).globalMatch(html)) {
        const QString href = match.captured(1);
        if (href.startsWith(u'#')) {
            QVERIFY2(ids.contains(QUrl::fromPercentEncoding(href.mid(1).toUtf8())),
                     qPrintable(QStringLiteral("no place %1 in the guide").arg(href)));
            ++inPage;
        } else {
            // A file beside the guide's source is not installed with it.
            QVERIFY2(href.startsWith(u"https://") || href.startsWith(u"http://") ||
                         href.startsWith(u"mailto:"),
                     qPrintable(QStringLiteral("%1 leads nowhere once installed").arg(href)));
        }
    }
    QVERIFY(inPage > 0);
}

QTEST_GUILESS_MAIN(TestGuide)
#include "tst_guide.moc"
