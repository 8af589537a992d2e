#include "tileserver.h"

#include "areakeeper.h"
#include "hostlog.h"
#include "mbtilesreader.h"
#include "onlinetilesource.h"
#include "tilecache.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

const QString Prefix = QStringLiteral("/tiles/");
const QString OnlineName = QStringLiteral("online");
// Tiles of a pack change only when the host restarts with another file.
const QByteArray PackCaching = "max-age=3600";
const QByteArray OnlineCaching = "max-age=86400";
constexpr int MaxKeepMessage = 4096;

TileServer::Reply plain(int status, const QByteArray &text) {
    return {status, "text/plain; charset=utf-8", text + '\n', "no-cache"};
}

// Digits only, no sign, no leading zeros beyond "0", no spaces: anything else
// is not the tile it seems to name.
bool parseIndex(const QString &text, int below, int &out) {
    static const QRegularExpression digits(QStringLiteral("^(0|[1-9][0-9]{0,9})$"));
    if (!digits.match(text).hasMatch())
        return false;
    const qint64 value = text.toLongLong();
    if (value >= below)
        return false;
    out = int(value);
    return true;
}

} // namespace

TileServer::TileServer(QObject *parent)
    : QObject(parent)
    , m_keepServer(
          new QWebSocketServer(QStringLiteral("oru-host"), QWebSocketServer::NonSecureMode, this)) {
    connect(m_keepServer, &QWebSocketServer::newConnection, this, &TileServer::onKeepConnection);
}

TileServer::~TileServer() {
    const auto sockets = findChildren<QWebSocket *>();
    for (QWebSocket *socket : sockets)
        socket->abort();
}

QString TileServer::addPack(const QString &file) {
    auto reader = std::make_unique<MbtilesReader>();
    QString error = reader->open(file);
    if (!error.isEmpty())
        return error;
    // The name is a URL segment of its own, and "online" is taken.
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    if (!valid.match(reader->name()).hasMatch() || reader->name() == OnlineName ||
        reader->name().startsWith(QLatin1Char('.')))
        return QStringLiteral("the name \"%1\" is not a layer name (letters, digits, . _ -)")
            .arg(reader->name());
    if (pack(reader->name()))
        return QStringLiteral("another pack is already named \"%1\"").arg(reader->name());
    m_packs.push_back(std::move(reader));
    return {};
}

QString TileServer::setOnline(const QString &urlTemplate, const QString &attribution,
                              const QString &cacheFile, qint64 cacheBytes) {
    QString error = OnlineTileSource::checkTemplate(urlTemplate);
    if (!error.isEmpty())
        return error;
    if (!cacheFile.isEmpty()) {
        m_cache = std::make_unique<TileCache>(cacheBytes);
        const QString cacheError = m_cache->open(cacheFile, urlTemplate);
        if (!cacheError.isEmpty()) {
            qCWarning(lcHost).noquote() << "tile cache" << cacheFile << "not used:" << cacheError;
            m_cache.reset();
        }
    }
    m_online = new OnlineTileSource(urlTemplate, m_cache.get(), this);
    m_onlineAttribution = attribution;
    return {};
}

bool TileServer::handles(const QString &path) {
    return path == QLatin1String("/tiles") || path.startsWith(Prefix);
}

MbtilesReader *TileServer::pack(const QString &name) const {
    for (const auto &reader : m_packs) {
        if (reader->name() == name)
            return reader.get();
    }
    return nullptr;
}

void TileServer::serve(const QString &path, QObject *client, const Respond &respond) {
    if (path == QLatin1String("/tiles") || path == Prefix) {
        QJsonArray layers;
        for (const auto &reader : m_packs)
            layers.append(reader->description());
        if (m_online)
            layers.append(QJsonObject{{QStringLiteral("name"), OnlineName},
                                      {QStringLiteral("minzoom"), 0},
                                      {QStringLiteral("maxzoom"), OnlineTileSource::MaxZoom},
                                      {QStringLiteral("keepmaxzoom"), AreaKeeper::MaxZoom},
                                      {QStringLiteral("attribution"), m_onlineAttribution}});
        respond({200, "application/json; charset=utf-8",
                 QJsonDocument(layers).toJson(QJsonDocument::Compact), "no-cache"});
        return;
    }
    const QStringList parts = path.mid(Prefix.size()).split(QLatin1Char('/'));
    MbtilesReader *reader = parts.isEmpty() ? nullptr : pack(parts.first());
    const bool online = m_online && !parts.isEmpty() && parts.first() == OnlineName;
    if (!reader && !online) {
        respond(plain(404, "no such layer"));
        return;
    }
    int z = 0;
    int x = 0;
    int y = 0;
    if (parts.size() != 4 || !parseIndex(parts.at(1), MaxZoom + 1, z) ||
        !parseIndex(parts.at(2), 1 << z, x) || !parseIndex(parts.at(3), 1 << z, y)) {
        respond(plain(400, "a tile is /tiles/<layer>/<z>/<x>/<y>, with 0 <= x, y < 2^z"));
        return;
    }
    if (reader) {
        QByteArray data;
        if (!reader->tile(z, x, y, data)) {
            qCWarning(lcHost).noquote() << "tile pack" << reader->name() << "cannot be read";
            respond(plain(500, "the pack cannot be read"));
        } else if (data.isEmpty()) {
            respond(plain(404, "no such tile"));
        } else {
            respond({200, reader->contentType(data), data, PackCaching});
        }
        return;
    }
    if (z > OnlineTileSource::MaxZoom) {
        respond(plain(404, "no such tile"));
        return;
    }
    m_online->fetch(z, x, y, client, [respond](int status, const QByteArray &data) {
        if (status == 200)
            respond({200, MbtilesReader::imageType(data), data, OnlineCaching});
        else if (status == 404)
            respond(plain(404, "no such tile"));
        else if (status == 503)
            respond(plain(503, "too many tiles waiting"));
        else
            respond(plain(502, "the tile source cannot be reached"));
    });
}

void TileServer::onKeepConnection() {
    while (QWebSocket *socket = m_keepServer->nextPendingConnection()) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(MaxKeepMessage);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) { onKeepMessage(socket, text); });
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    }
}

// Page to host: {"CMD": "COUNT" | "KEEP" | "CANCEL", "SOUTH", "WEST", "NORTH",
// "EAST", "MIN_ZOOM", "MAX_ZOOM"}. Host to page: {"CMD": "COUNT", "TILES",
// "ERROR"} and, for a keep, {"EVENT": "PROGRESS", "DONE", "FAILED", "TOTAL"}
// until {"EVENT": "FINISHED", "STATE", "REASON"}. Closing the socket cancels.
void TileServer::onKeepMessage(QWebSocket *socket, const QString &text) {
    const auto send = [socket](const QJsonObject &object) {
        socket->sendTextMessage(
            QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
    };
    const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString cmd = request.value(QStringLiteral("CMD")).toString();
    if (cmd == QLatin1String("CANCEL")) {
        if (m_keeper && m_keeper->parent() == socket)
            m_keeper->cancel();
        return;
    }
    const AreaKeeper::Area area{request.value(QStringLiteral("SOUTH")).toDouble(qQNaN()),
                                request.value(QStringLiteral("WEST")).toDouble(qQNaN()),
                                request.value(QStringLiteral("NORTH")).toDouble(qQNaN()),
                                request.value(QStringLiteral("EAST")).toDouble(qQNaN()),
                                request.value(QStringLiteral("MIN_ZOOM")).toInt(-1),
                                request.value(QStringLiteral("MAX_ZOOM")).toInt(-1)};
    qint64 count = 0;
    QString error = m_online ? AreaKeeper::check(area, count)
                             : QStringLiteral("the host has no online tile source");
    if (cmd == QLatin1String("COUNT")) {
        send({{QStringLiteral("CMD"), cmd},
              {QStringLiteral("TILES"), count},
              {QStringLiteral("ERROR"), error}});
        return;
    }
    if (cmd != QLatin1String("KEEP")) {
        send({{QStringLiteral("ERROR"), QStringLiteral("unknown command")}});
        return;
    }
    if (error.isEmpty() && m_keeper)
        error = QStringLiteral("another area is being kept");
    if (!error.isEmpty()) {
        send({{QStringLiteral("EVENT"), QStringLiteral("FINISHED")},
              {QStringLiteral("STATE"), QStringLiteral("refused")},
              {QStringLiteral("REASON"), error}});
        return;
    }
    // The keeper lives as long as its page's connection, and no longer.
    auto *keeper = new AreaKeeper(m_online, area, socket);
    m_keeper = keeper;
    connect(keeper, &AreaKeeper::progress, socket,
            [send](qint64 done, qint64 failed, qint64 total) {
                send({{QStringLiteral("EVENT"), QStringLiteral("PROGRESS")},
                      {QStringLiteral("DONE"), done},
                      {QStringLiteral("FAILED"), failed},
                      {QStringLiteral("TOTAL"), total}});
            });
    connect(keeper, &AreaKeeper::finished, socket,
            [send, keeper](const QString &state, const QString &reason) {
                send({{QStringLiteral("EVENT"), QStringLiteral("FINISHED")},
                      {QStringLiteral("STATE"), state},
                      {QStringLiteral("REASON"), reason}});
                keeper->deleteLater();
            });
    qCInfo(lcHost) << "keeping" << count << "tiles offline, zoom" << area.minZoom << "to"
                   << area.maxZoom;
    keeper->start();
}
