#include "fuzzsupport.h"

#include <orugeneralviewlistener.h>

// General channel messages, one per line, through the listener into the
// service's registry. Every device that arrived is removed at the end, so
// the registry starts empty for each input.

void fuzzOne(const QByteArray &input) {
    OruGroundStationService &service = FuzzSupport::service();
    OruGeneralViewListener listener(nullptr);
    QStringList arrived;
    QObject::connect(&listener, &OruGeneralViewListener::deviceArrival, &service,
                     [&service, &arrived](const QString &type, const QString &hash) {
                         arrived.append(hash);
                         service.DeviceArrival(type, hash);
                     });
    QObject::connect(&listener, &OruGeneralViewListener::deviceRemoved, &service,
                     &OruGroundStationService::DeviceRemoved);
    // The slot is private; the meta-object is how the socket reaches it too.
    for (const QString &message : FuzzSupport::lines(input))
        QMetaObject::invokeMethod(&listener, "onTextMessage", Qt::DirectConnection,
                                  Q_ARG(QString, message));
    for (const QString &hash : qAsConst(arrived))
        service.DeviceRemoved(hash);
}
