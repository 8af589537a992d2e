#include "orugroundstationpushview.h"

#include <orugroundstationservice.h>

OruGroundStationPushView::OruGroundStationPushView(QWebSocket *socket, QObject *parent)
    : WebSocketHandler(socket, parent) {
    if (auto *service = OruGroundStationService::instancePtr())
        connect(service, &OruGroundStationService::broadcast, this,
                &WebSocketHandler::WriteWebJSON);
}

OruGroundStationPushView::~OruGroundStationPushView() = default;
