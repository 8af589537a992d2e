#include "onlinetilesource.h"

#include "hostlog.h"
#include "mbtilesreader.h"
#include "tilecache.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
quint64 keyOf(int z, int x, int y) {
    return (quint64(z) << 58) | (quint64(x) << 29) | quint64(y);
}
} // namespace

OnlineTileSource::OnlineTileSource(const QString &urlTemplate, TileCache *cache, QObject *parent)
    : QObject(parent)
    , m_template(urlTemplate)
    , m_cache(cache) {
    m_network.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

OnlineTileSource::~OnlineTileSource() {
    // Replies aborted as the manager goes must not call back into this.
    const auto replies = m_network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        reply->disconnect(this);
}

QString OnlineTileSource::checkTemplate(const QString &urlTemplate) {
    QString sample = urlTemplate;
    sample.replace(QLatin1String("{z}"), QLatin1String("0"))
        .replace(QLatin1String("{x}"), QLatin1String("0"))
        .replace(QLatin1String("{y}"), QLatin1String("0"));
    const QUrl url(sample, QUrl::StrictMode);
    if (!url.isValid() ||
        (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return QStringLiteral("\"%1\" is not an http or https URL").arg(urlTemplate);
    for (const char *field : {"{z}", "{x}", "{y}"}) {
        if (!urlTemplate.contains(QLatin1String(field)))
            return QStringLiteral("%1 is missing").arg(QLatin1String(field));
    }
    return {};
}

bool OnlineTileSource::reachable() const {
    return !m_unreachableSince.isValid() || m_unreachableSince.hasExpired(BackoffMs);
}

void OnlineTileSource::fetch(int z, int x, int y, QObject *owner, Done done, bool background) {
    qint64 fetched = 0;
    const QByteArray cached = m_cache ? m_cache->tile(z, x, y, &fetched) : QByteArray();
    const bool fresh = fetched >= QDateTime::currentSecsSinceEpoch() - RefreshSecs;
    if (!cached.isEmpty() && (fresh || !reachable())) {
        done(200, cached);
        return;
    }
    if (!reachable()) {
        done(502, {});
        return;
    }
    const quint64 key = keyOf(z, x, y);
    auto found = m_pending.find(key);
    if (found != m_pending.end()) {
        found->waiters.append({owner, std::move(done)});
        return;
    }
    if (!background && m_waiting.size() >= MaxWaiting) {
        done(cached.isEmpty() ? 503 : 200, cached);
        return;
    }
    m_pending.insert(key, {z, x, y, {{owner, std::move(done)}}});
    (background ? m_background : m_waiting).enqueue(key);
    pump();
}

void OnlineTileSource::pump() {
    while (m_inFlight < Concurrency && (!m_waiting.isEmpty() || !m_background.isEmpty())) {
        const quint64 key = m_waiting.isEmpty() ? m_background.dequeue() : m_waiting.dequeue();
        auto found = m_pending.find(key);
        if (found == m_pending.end())
            continue; // asked for twice, already fetched
        if (!reachable()) {
            finish(key, 502, {});
            continue;
        }
        // A page that has scrolled on has closed its requests: their tiles
        // are not wanted.
        const bool wanted = std::any_of(found->waiters.begin(), found->waiters.end(),
                                        [](const Waiter &w) { return !w.owner.isNull(); });
        if (!wanted) {
            m_pending.erase(found);
            continue;
        }
        start(key);
    }
}

void OnlineTileSource::start(quint64 key) {
    const Pending &tile = m_pending.value(key);
    QString url = m_template;
    url.replace(QLatin1String("{z}"), QString::number(tile.z))
        .replace(QLatin1String("{x}"), QString::number(tile.x))
        .replace(QLatin1String("{y}"), QString::number(tile.y));
    QNetworkRequest request{QUrl(url)};
    // Public tile servers block clients that do not say who they are.
    request.setHeader(
        QNetworkRequest::UserAgentHeader,
        QStringLiteral("%1/%2 (ground station; map tiles for mission planning)")
            .arg(QCoreApplication::applicationName(), QCoreApplication::applicationVersion()));
    request.setTransferTimeout(TimeoutMs);
    QNetworkReply *reply = m_network.get(request);
    ++m_inFlight;
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > MaxTileBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, key, reply]() { finished(key, reply); });
}

void OnlineTileSource::finished(quint64 key, QNetworkReply *reply) {
    reply->deleteLater();
    --m_inFlight;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QByteArray data =
        reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    const Pending tile = m_pending.value(key);
    if (status.toInt() == 200 && data.size() <= MaxTileBytes &&
        !MbtilesReader::imageType(data).isEmpty()) {
        if (m_cache)
            m_cache->store(tile.z, tile.x, tile.y, data);
        finish(key, 200, data);
    } else if (status.toInt() == 404) {
        finish(key, 404, {});
    } else {
        // Unreachable, refusing (429, 5xx) or answering with no image (a
        // captive portal's page): the cache answers for a while.
        if (reachable())
            qCWarning(lcHost).noquote()
                << "tile source:" << reply->url().host()
                << (status.isValid() ? QStringLiteral("HTTP %1").arg(status.toInt())
                                     : reply->errorString())
                << "- serving cached tiles only for" << BackoffMs / 1000 << "s";
        m_unreachableSince.start();
        const QByteArray cached = m_cache ? m_cache->tile(tile.z, tile.x, tile.y) : QByteArray();
        finish(key, cached.isEmpty() ? 502 : 200, cached);
    }
    pump();
}

void OnlineTileSource::finish(quint64 key, int status, const QByteArray &data) {
    const Pending tile = m_pending.take(key);
    for (const Waiter &waiter : tile.waiters) {
        if (waiter.done)
            waiter.done(status, data);
    }
}
