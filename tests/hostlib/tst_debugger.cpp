#include <debugger.h>

#include <QLoggingCategory>
#include <QTest>

#include <functional>

namespace {
QList<QStringList> records; // type, category, function, line, text

void capture(QtMsgType type, const QMessageLogContext &context, const QString &text) {
    records.append({type == QtWarningMsg ? "warning" : "info", context.category, context.function,
                    QString::number(context.line), text});
}

int evaluations = 0;
int counted() {
    return ++evaluations;
}
} // namespace

struct Probe {
    int line = 0;
    void logBoth() {
        line = __LINE__ + 1;
        ORU_LOG_INFO("Probe") << "routine " << counted();
        const std::function<void()> closure = []() {
            ORU_LOG_WARNING("Probe", "onReply") << "refused";
        };
        closure();
    }
};

class tst_Debugger : public QObject {
    Q_OBJECT

    QList<QStringList> run(const QString &rules, const std::function<void()> &statements) {
        QLoggingCategory::setFilterRules(rules);
        records.clear();
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        statements();
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
        return records;
    }

private Q_SLOTS:
    // Each section is its own category, so logging rules can quiet it alone.
    void recordGoesToItsSectionsCategory() {
        const auto logged = run("oru.Quiet.info=false", []() {
            Debugger(SECTION("Quiet"), "f", 1) << QStringLiteral("hidden");
            Debugger(SECTION("OruDeviceAgent"), "OruDeviceAgent::onTextMessage", 42).Dump()
                << "count " << 7 << ' ' << QStringLiteral("zones");
        });
        QCOMPARE(logged,
                 (QList<QStringList>{{"info", "oru.OruDeviceAgent", "OruDeviceAgent::onTextMessage",
                                      "42", "count 7 zones"}}));
    }

    // The function text is "Class::function", a closure's followed by its name.
    void macrosNameTheFunctionAndLevel() {
        Probe probe;
        const auto logged = run(QString(), [&probe]() { probe.logBoth(); });
        QCOMPARE(logged.size(), 2);
        QCOMPARE(logged[0], (QStringList{"info", "oru.Probe", "Probe::logBoth",
                                         QString::number(probe.line), "routine 1"}));
        QCOMPARE(logged[1].mid(0, 3),
                 (QStringList{"warning", "oru.Probe", "Probe::logBoth::onReply"}));
        QCOMPARE(logged[1].last(), "refused");
    }

    // A disabled level writes nothing and evaluates none of its statement.
    void disabledLevelCostsNothing() {
        evaluations = 0;
        Probe probe;
        const auto logged = run("oru.Probe.info=false", [&probe]() { probe.logBoth(); });
        QCOMPARE(evaluations, 0);
        QCOMPARE(logged.size(), 1);
        QCOMPARE(logged[0].first(), "warning");
    }
};

#include <orutestmain.h>
ORU_TEST_MAIN(tst_Debugger)
#include "tst_debugger.moc"
