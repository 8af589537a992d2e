#ifndef ORUTESTMAIN_H
#define ORUTESTMAIN_H

#include <epolleventdispatcher.h>

#include <QCoreApplication>
#include <QTest>

// QTEST_GUILESS_MAIN with the host's event loop: ours unless ORU_EVENT_LOOP=qt,
// installed before the application so every test runs on it.
#define ORU_TEST_MAIN(TestObject)                                                                  \
    int main(int argc, char *argv[]) {                                                             \
        EpollEventDispatcher::installIfChosen();                                                   \
        QCoreApplication app(argc, argv);                                                          \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

#endif // ORUTESTMAIN_H
