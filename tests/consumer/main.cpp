#include <orugroundstationservice.h>

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdio>

// Creates the service as a host does and prints its reply to one command.
int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    SingletonEx<OruGroundStationService>::createInstance();
    QJsonObject reply;
    OruGroundStationService::instance().GetAircraftList(
        [&reply](const QJsonObject &answer) { reply = answer; });
    std::puts(QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
    delete OruGroundStationService::instancePtr();
    return reply.value(QStringLiteral("ERROR")) == QStringLiteral("SUCCESS") ? 0 : 1;
}
