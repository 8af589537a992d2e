#include "benchsupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>

void fail(const QString &why) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(why));
    std::exit(1);
}

bool waitFor(const std::function<bool()> &done, qint64 timeoutMs) {
    // Sleeps until something happens; the deadline timer wakes the last wait.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(int(timeoutMs));
    QEventLoop loop;
    while (!done()) {
        if (!deadline.isActive())
            return false;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void runFor(qint64 ms) {
    waitFor([]() { return false; }, ms);
}

std::unique_ptr<QWebSocket> openSocket(const QString &url) {
    auto socket = std::make_unique<QWebSocket>();
    socket->open(QUrl(url));
    if (!waitFor([&]() { return socket->state() == QAbstractSocket::ConnectedState; }, 10000))
        fail(QStringLiteral("cannot open ") + url);
    if (auto *tcp = socket->findChild<QTcpSocket *>())
        tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return socket;
}
