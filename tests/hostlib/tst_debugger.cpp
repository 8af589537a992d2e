#include <debugger.h>

#include <QLoggingCategory>
#include <QTest>

namespace {
struct Record {
    QString category;
    QString function;
    int line;
    QString text;
};
QList<Record> records;

void capture(QtMsgType, const QMessageLogContext &context, const QString &text) {
    records.append({QString::fromUtf8(context.category), QString::fromUtf8(context.function),
                    context.line, text});
}
} // namespace

class tst_Debugger : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each section is its own category, so logging rules can quiet it alone.
    void recordGoesToItsSectionsCategory() {
        QLoggingCategory::setFilterRules(QStringLiteral("oru.Quiet.info=false"));
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        Debugger(SECTION("Quiet"), "f", 1) << QStringLiteral("hidden");
        Debugger(SECTION("OruDeviceAgent"), "OruDeviceAgent::onTextMessage", 42).Dump()
            << "count " << 7 << ' ' << QStringLiteral("zones");
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());

        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().category, QStringLiteral("oru.OruDeviceAgent"));
        QCOMPARE(records.first().function, QStringLiteral("OruDeviceAgent::onTextMessage"));
        QCOMPARE(records.first().line, 42);
        QCOMPARE(records.first().text, QStringLiteral("count 7 zones"));
    }
};

QTEST_GUILESS_MAIN(tst_Debugger)
#include "tst_debugger.moc"
