#include <elevationquerier.h>

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QTest>

#include <memory>

// Opens the querier's protected slots and pending map to the test.
struct Querier : ElevationQuerier {
    using ElevationQuerier::loadJson;
    using ElevationQuerier::networkError;
    using ElevationQuerier::pendingQueries;
    using ElevationQuerier::replyFinished;
};

// Replies come from data: and file: addresses, which never touch the network.
class tst_ElevationQuerier : public QObject {
    Q_OBJECT

    QNetworkAccessManager network;

    QNetworkReply *get(const QByteArray &url) { return network.get(QNetworkRequest(QUrl(url))); }

private Q_SLOTS:
    void loadJson_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("an object loads") << QByteArray(R"({"status": "OK"})") << true;
        QTest::newRow("an array is refused") << QByteArray("[1, 2]") << false;
        QTest::newRow("broken text is refused") << QByteArray(R"({"status": )") << false;
    }

    void loadJson() {
        QFETCH(QByteArray, text);
        QFETCH(bool, loaded);
        QJsonParseError parse;
        const QJsonDocument document = QJsonDocument::fromJson(text, &parse);
        QJsonObject json{{"KEEP", 1}};
        QString errwhy = QStringLiteral("untouched");
        QCOMPARE(Querier().loadJson(text, json, errwhy), loaded);
        // Refused text leaves the object alone; for an array the parser saw no
        // error, and says so.
        QCOMPARE(json, (loaded ? document.object() : QJsonObject{{"KEEP", 1}}));
        QCOMPARE(errwhy, loaded ? QStringLiteral("untouched") : parse.errorString());
    }

    void finishedReplyIsDeleted_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("a percent-encoded answer")
            << QByteArray(R"({"status": "OK", "results": []})").toPercentEncoding();
        QTest::newRow("an empty body") << QByteArray();
    }

    void finishedReplyIsDeleted() {
        QFETCH(QByteArray, body);
        Querier querier;
        QPointer<QNetworkReply> reply(get("data:," + body.toPercentEncoding()));
        connect(reply, &QNetworkReply::finished, &querier, &Querier::replyFinished);
        QTRY_VERIFY(reply.isNull());
    }

    void networkErrorDropsOnlyItsOwnQuery() {
        Querier querier;
        QPointer<QNetworkReply> failed(get("file:///nonexistent/elevation.json"));
        const std::unique_ptr<QNetworkReply> other(get("data:,"));
        querier.pendingQueries.insert(failed, [](const QJsonObject &) {});
        querier.pendingQueries.insert(other.get(), [](const QJsonObject &) {});
        connect(failed, &QNetworkReply::errorOccurred, &querier, &Querier::networkError);
        QTRY_VERIFY(failed.isNull());
        // Its callback is dropped unanswered; the other still waits.
        QCOMPARE(querier.pendingQueries.keys(), QList<QObject *>{other.get()});
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_ElevationQuerier)
#include "tst_elevationquerier.moc"
