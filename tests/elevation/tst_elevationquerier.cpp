#include <elevationquerier.h>

#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkReply>
#include <QPointer>
#include <QTest>

#include <memory>

namespace {

// A finished reply with a fixed body, standing in for a network answer.
class FakeReply : public QNetworkReply {
public:
    explicit FakeReply(const QByteArray &body)
        : m_body(body) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        setFinished(true);
    }

    void abort() override {}
    qint64 bytesAvailable() const override {
        return m_body.size() - m_offset + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        const qint64 count = qMin(maxSize, qint64(m_body.size()) - m_offset);
        memcpy(data, m_body.constData() + m_offset, size_t(count));
        m_offset += count;
        return count;
    }

private:
    QByteArray m_body;
    qint64 m_offset = 0;
};

// Opens the querier's protected slots and pending map to the test.
class Querier : public ElevationQuerier {
public:
    using ElevationQuerier::loadJson;
    using ElevationQuerier::networkError;
    using ElevationQuerier::pendingQueries;
    using ElevationQuerier::replyFinished;
};

} // namespace

class tst_ElevationQuerier : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void loadJson_data();
    void loadJson();
    void finishedReplyIsReadAndDeleted_data();
    void finishedReplyIsReadAndDeleted();
    void networkErrorDropsOnlyItsOwnQuery();
};

void tst_ElevationQuerier::loadJson_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("loaded");

    QTest::newRow("an object loads") << QByteArray(R"({"status": "OK", "results": []})") << true;
    QTest::newRow("an array is refused") << QByteArray("[1, 2]") << false;
    QTest::newRow("broken text is refused") << QByteArray(R"({"status": )") << false;
    QTest::newRow("empty text is refused") << QByteArray() << false;
}

void tst_ElevationQuerier::loadJson() {
    QFETCH(QByteArray, text);
    QFETCH(bool, loaded);

    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parse);
    const QJsonObject before{{QStringLiteral("KEEP"), 1}};

    Querier querier;
    QJsonObject json = before;
    QString errwhy = QStringLiteral("untouched");
    QCOMPARE(querier.loadJson(text, json, errwhy), loaded);
    if (loaded) {
        QCOMPARE(json, document.object());
        QCOMPARE(errwhy, QStringLiteral("untouched"));
    } else {
        QCOMPARE(json, before);
        // For an array the parser saw no error, and says so.
        QCOMPARE(errwhy, parse.errorString());
    }
}

void tst_ElevationQuerier::finishedReplyIsReadAndDeleted_data() {
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("a percent-encoded OK answer")
        << QByteArray(R"({"status": "OK", "results": [{"elevation": 12.5}]})").toPercentEncoding();
    QTest::newRow("an empty body") << QByteArray();
    QTest::newRow("a body that is not JSON") << QByteArray("%3Chtml%3E");
}

void tst_ElevationQuerier::finishedReplyIsReadAndDeleted() {
    QFETCH(QByteArray, body);

    Querier querier;
    auto *reply = new FakeReply(body);
    QPointer<QNetworkReply> watched(reply);
    int calls = 0;
    querier.pendingQueries.insert(reply, [&calls](const QJsonObject &) { ++calls; });
    connect(reply, &QNetworkReply::finished, &querier, &Querier::replyFinished);

    Q_EMIT reply->finished();
    QCOMPARE(reply->bytesAvailable(), qint64(0));
    QTRY_VERIFY(watched.isNull());
    // Nothing consumes answers yet: the waiting entry is neither called nor removed.
    QCOMPARE(calls, 0);
    QCOMPARE(querier.pendingQueries.size(), 1);
}

void tst_ElevationQuerier::networkErrorDropsOnlyItsOwnQuery() {
    Querier querier;
    auto *failed = new FakeReply(QByteArray());
    auto *other = new FakeReply(QByteArray());
    QPointer<QNetworkReply> watched(failed);

    auto token = std::make_shared<int>(0);
    int calls = 0;
    querier.pendingQueries.insert(failed, [token, &calls](const QJsonObject &) { ++calls; });
    querier.pendingQueries.insert(other, [](const QJsonObject &) {});
    connect(failed, &QNetworkReply::errorOccurred, &querier, &Querier::networkError);

    Q_EMIT failed->errorOccurred(QNetworkReply::HostNotFoundError);
    QVERIFY(!querier.pendingQueries.contains(failed));
    QVERIFY(querier.pendingQueries.contains(other));
    QCOMPARE(token.use_count(), 1L); // the callback is gone, never called
    QCOMPARE(calls, 0);
    QTRY_VERIFY(watched.isNull());

    // A reply nobody waits for is only deleted.
    auto *stray = new FakeReply(QByteArray());
    QPointer<QNetworkReply> strayWatched(stray);
    connect(stray, &QNetworkReply::errorOccurred, &querier, &Querier::networkError);
    Q_EMIT stray->errorOccurred(QNetworkReply::TimeoutError);
    QCOMPARE(querier.pendingQueries.size(), 1);
    QTRY_VERIFY(strayWatched.isNull());
    delete other;
}

QTEST_MAIN(tst_ElevationQuerier)
#include "tst_elevationquerier.moc"
