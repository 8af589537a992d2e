#include "messagebudget.h"

#include <QLoggingCategory>

#include <atomic>

Q_LOGGING_CATEGORY(lcBudget, "oru.host.budget")

const QString MessageBudget::CloseReason = QStringLiteral("incoming message budget exceeded");

namespace {
std::atomic<qint64> budgetLimit{MessageBudget::DefaultLimit};
std::atomic<qint64> budgetHeld{0};
} // namespace

void MessageBudget::setLimit(qint64 bytes) {
    budgetLimit = bytes;
}

qint64 MessageBudget::limit() {
    return budgetLimit;
}

qint64 MessageBudget::held() {
    return budgetHeld;
}

bool MessageBudget::charge(qint64 &charged, qint64 now, const QString &who) {
    const qint64 total = budgetHeld += now - charged;
    if (now <= charged || total <= budgetLimit) {
        charged = now;
        return true;
    }
    budgetHeld -= now;
    charged = 0;
    qCWarning(lcBudget).noquote() << "closing" << who << "(1009): its unfinished message of" << now
                                  << "bytes would pass the budget of" << budgetLimit
                                  << "bytes for all clients";
    return false;
}
