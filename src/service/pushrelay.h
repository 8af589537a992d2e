#ifndef PUSHRELAY_H
#define PUSHRELAY_H

#include <websockethandler.h>

#include <QJsonObject>
#include <QPointer>

#include <vector>

// Hands each broadcast to every push view, in the order the views were
// added. The object is serialised once, to one shared text, for all of them,
// rather than once per client as each view did on its own.
class PushRelay {
public:
    void add(WebSocketHandler *view);
    void send(const QJsonObject &obj);

private:
    // A view that goes leaves a null behind, so a broadcast under way keeps
    // its indices, and no view has to reach the service as it dies (which
    // may be gone already); add() sweeps the nulls away.
    std::vector<QPointer<WebSocketHandler>> m_views;
};

#endif // PUSHRELAY_H
