#include <debugger.h>

#include <QLoggingCategory>
#include <QTest>

namespace {
QList<QStringList> records; // category, function, line, text

void capture(QtMsgType, const QMessageLogContext &context, const QString &text) {
    records.append({context.category, context.function, QString::number(context.line), text});
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

        const QStringList expected{"oru.OruDeviceAgent", "OruDeviceAgent::onTextMessage", "42",
                                   "count 7 zones"};
        QCOMPARE(records, QList<QStringList>{expected});
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_Debugger)
#include "tst_debugger.moc"
