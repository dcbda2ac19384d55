// The technician's guide as built: one page that stands alone once installed. Every link in it leads to
// a place in the page or to the web, and every picture is inside it.
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QUrl>

class TestGuide : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void standsAlone();
    void linksLeadSomewhere();

private:
    QString m_html;
};

void TestGuide::initTestCase()
{
    QFile file(QStringLiteral(LIAISON_GUIDE_HTML));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    m_html = QString::fromUtf8(file.readAll());
}

void TestGuide::standsAlone()
{
    QVERIFY(m_html.contains(u"<title>Guide de Test liaison série</title>"));
    QVERIFY(m_html.contains(u"lang=\"fr\""));
    // Pictures, styles and scripts are in the page; none is fetched from beside it or from the web.
    const QRegularExpression sources(
        QStringLiteral(R"re((?:src|srcset)="([^"]*)"|<link\b[^>]*href="([^"]*)")re"));
    int pictures = 0;
    for (const auto &match : sources.globalMatch(m_html)) {
        const QString source = match.captured(1) + match.captured(2);
        QVERIFY2(source.startsWith(u"data:"), qPrintable(source));
        pictures += source.startsWith(u"data:image/") ? 1 : 0;
    }
    // Each picture of the source is one of them.
    QFile source(QStringLiteral(LIAISON_GUIDE_SOURCE));
    QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(source.fileName()));
    const auto inSource =
        QString::fromUtf8(source.readAll()).count(QRegularExpression(QStringLiteral(R"re(!\[[^\]]*\]\()re")));
    QVERIFY(inSource > 0);
    QCOMPARE(pictures, inSource);
}

void TestGuide::linksLeadSomewhere()
{
    QSet<QString> ids;
    for (const auto &match : QRegularExpression(QStringLiteral(R"re(\bid="([^"]*)")re")).globalMatch(m_html))
        ids.insert(match.captured(1));
    const QRegularExpression links(QStringLiteral(R"re(<a\b[^>]*\bhref="([^"]*)")re"));
    int inPage = 0;
    for (const auto &match : links.globalMatch(m_html)) {
        const QString href = match.captured(1);
        if (href.startsWith(u'#')) {
            const QString id = QUrl::fromPercentEncoding(href.mid(1).toUtf8());
            QVERIFY2(ids.contains(id), qPrintable(QStringLiteral("no place %1 in the guide").arg(href)));
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
