#include <elevationquerier.h>

#include <QNetworkAccessManager>
#include <QPointer>
#include <QTest>

#include <memory>

// Opens the querier's protected slots and pending map to the test.
struct Querier : ElevationQuerier {
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
    void finishedReplyIsDeleted_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("a percent-encoded answer")
            << QByteArray(R"({"status": "OK", "results": []})").toPercentEncoding();
        QTest::newRow("an empty body") << QByteArray();
        QTest::newRow("JSON that is no object") << QByteArray("[1, 2]");
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
