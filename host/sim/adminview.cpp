#include "adminview.h"

#include "simulationhub.h"

namespace {

QJsonObject valueOf(const QJsonObject &request) {
    return request.value(QStringLiteral("VALUE")).toObject();
}

} // namespace

AdminView::AdminView(QWebSocket *socket, SimulationHub *hub, QObject *parent)
    : WebSocketHandler(socket, parent)
    , m_hub(hub) {
    using Handler = void (AdminView::*)(const QJsonObject &);
    const std::pair<const char *, Handler> commands[] = {
        {"AttachDevice", &AdminView::attachDevice},
        {"DetachDevice", &AdminView::detachDevice},
        {"SilenceController", &AdminView::silenceController},
        {"DropController", &AdminView::dropController},
        {"DropGeneralChannel", &AdminView::dropGeneralChannel},
        {"ListDevices", &AdminView::listDevices},
    };
    for (const auto &command : commands) {
        const Handler handler = command.second;
        SetWebCmdHandler(
            QString::fromLatin1(command.first),
            [this, handler](const QJsonObject &request) { (this->*handler)(request); });
    }
}

AdminView::~AdminView() = default;

void AdminView::fail(const QJsonObject &request, const QString &message) {
    GetSafeWriter(request)({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                            {QStringLiteral("ERROR_MESSAGE"), message}});
}

QString AdminView::fileOf(const QJsonObject &request) {
    QString file = valueOf(request).value(QStringLiteral("FILE")).toString();
    if (file.isEmpty())
        fail(request, QStringLiteral("FILE missing or not a non-empty string"));
    return file;
}

void AdminView::attachDevice(const QJsonObject &request) {
    const QJsonValue type = valueOf(request).value(QStringLiteral("DEVICE_TYPE"));
    if (!type.isUndefined() && (!type.isString() || type.toString().isEmpty() ||
                                type.toString().size() > MaxDeviceTypeLength)) {
        fail(request, QStringLiteral("DEVICE_TYPE must be a non-empty string of at most %1 "
                                     "characters")
                          .arg(MaxDeviceTypeLength));
        return;
    }
    m_hub->attachDevice(type.toString(), GetSafeWriter(request));
}

void AdminView::detachDevice(const QJsonObject &request) {
    const QString file = fileOf(request);
    if (!file.isEmpty())
        m_hub->detachDevice(file, GetSafeWriter(request));
}

void AdminView::silenceController(const QJsonObject &request) {
    const QString file = fileOf(request);
    if (file.isEmpty())
        return;
    const QJsonValue silent = valueOf(request).value(QStringLiteral("SILENT"));
    if (!silent.isBool()) {
        fail(request, QStringLiteral("SILENT missing or not true or false"));
        return;
    }
    m_hub->silenceController(file, silent.toBool(), GetSafeWriter(request));
}

void AdminView::dropController(const QJsonObject &request) {
    const QString file = fileOf(request);
    if (!file.isEmpty())
        m_hub->dropController(file, GetSafeWriter(request));
}

void AdminView::dropGeneralChannel(const QJsonObject &request) {
    m_hub->dropGeneralChannel(GetSafeWriter(request));
}

void AdminView::listDevices(const QJsonObject &request) {
    m_hub->listDevices(GetSafeWriter(request));
}
