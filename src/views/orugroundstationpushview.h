#ifndef ORUGROUNDSTATIONPUSHVIEW_H
#define ORUGROUNDSTATIONPUSHVIEW_H

#include <oruexport.h>

#include <websockethandler.h>

// Endpoint of a client that only listens: every broadcast of the service
// reaches it unchanged.
class ORU_EXPORT OruGroundStationPushView : public WebSocketHandler {
    Q_OBJECT
public:
    OruGroundStationPushView(QWebSocket *socket, QObject *parent);
    ~OruGroundStationPushView() override;
};

#endif // ORUGROUNDSTATIONPUSHVIEW_H
