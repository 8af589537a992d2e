#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QString>
#include <QWebSocket>

#include <functional>
#include <memory>

// What the WebSocket bench clients share: they fail loudly and at once, and
// wait on the event loop, never on a sleep.

// Prints "<program>: why" and exits with status 1.
[[noreturn]] void fail(const QString &why);

// Runs the event loop until done() holds or the time is up.
bool waitFor(const std::function<bool()> &done, qint64 timeoutMs);

// Runs the event loop for ms milliseconds.
void runFor(qint64 ms);

// Opens url and waits for the connection; each message then leaves at once,
// as a browser's does.
std::unique_ptr<QWebSocket> openSocket(const QString &url);

#endif // BENCHSUPPORT_H
