#include "orugroundstationpushview.h"

#include <orugroundstationservice.h>
#include <pushrelay.h>

OruGroundStationPushView::OruGroundStationPushView(QWebSocket *socket, QObject *parent)
    : WebSocketHandler(socket, parent) {
    // Through the relay rather than the broadcast signal: it serialises each
    // broadcast once for all push views.
    if (auto *service = OruGroundStationService::instancePtr())
        service->pushRelay().add(this);
}

OruGroundStationPushView::~OruGroundStationPushView() = default;
