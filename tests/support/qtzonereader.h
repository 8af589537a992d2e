#ifndef QTZONEREADER_H
#define QTZONEREADER_H

#include <noflyzone.h>

#include <QString>

#include <vector>

// The test oracle of NoFlyZoneFile::read: the whole document through Qt's
// JSON parser, each entry by the same reading rules.
std::vector<NoFlyZone> readZonesWithQt(const QString &path);

#endif // QTZONEREADER_H
