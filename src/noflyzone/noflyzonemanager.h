#ifndef NOFLYZONEMANAGER_H
#define NOFLYZONEMANAGER_H

#include <nearbyzones.h>
#include <noflyzone.h>

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <vector>

// The no-fly zones of the zone file beside the host, loaded once in the
// background, and the query for those near a point.
class NoFlyZoneManager : public QObject {
    Q_OBJECT
public:
    explicit NoFlyZoneManager(QObject *parent);
    ~NoFlyZoneManager() override;

    QJsonArray GetNearbyNoflyZone(double latitude, double longitude);

    // Where the load stands. A failed load leaves no zones, and a user who
    // sees none must be able to tell that from a sky without zones.
    enum LoadState { Loading, Loaded, Failed };
    LoadState state() const { return loadState; }
    // Why the load failed; empty unless it did.
    const QString &failureReason() const { return loadFailure; }
    size_t zoneCount() const { return nearby_zones.zones().size(); }

protected:
    void initNoflyZone();
    // Installs a complete, sorted list; queries see it whole or not at all.
    void setZones(std::vector<NoFlyZone> loaded);

private:
    QJsonValue zoneJson(uint32_t position);

    NearbyZones nearby_zones;
    // Each zone's reply object, built when first found and shared by every
    // reply that names it; at most CachedZones of them at a time.
    QHash<uint32_t, QJsonValue> zoneObjects;
    // The reply for the kept result, handed out again while it is reused.
    QJsonArray lastReply;
    LoadState loadState = Loading;
    QString loadFailure;
};

#endif // NOFLYZONEMANAGER_H
