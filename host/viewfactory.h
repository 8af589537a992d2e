#ifndef VIEWFACTORY_H
#define VIEWFACTORY_H

#include <QObject>

class HostServer;
class QWebSocketServer;

// Creates the plug-in's views for web clients: a command view for every
// connection on /groundstation, a push view for every one on
// /groundstation/push. Each view dies with its connection.
class ViewFactory : public QObject {
    Q_OBJECT
public:
    explicit ViewFactory(HostServer *server, QObject *parent = nullptr);
    ~ViewFactory() override;

private:
    void onCommandConnection();
    void onPushConnection();

    QWebSocketServer *m_commands;
    QWebSocketServer *m_pushes;
};

#endif // VIEWFACTORY_H
