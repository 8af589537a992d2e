#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

class OruGroundStationService;

// What every fuzz target shares: one application with its event loop, a
// HOME of its own so nothing lands in the user's documents, silent logs, and
// the service singleton, created once per process.
namespace FuzzSupport {

// Idempotent; call first in every LLVMFuzzerTestOneInput.
void init();
OruGroundStationService &service();
// Runs background tasks to their end and delivers everything they posted.
void settle();
// The wayline folder of the temporary HOME.
QString waylineFolder();
// Empties the wayline folder, so saved inputs do not pile up on disk.
void clearWaylines();
// The input split into non-empty lines: many targets feed a sequence.
QStringList lines(const uint8_t *data, size_t size);

} // namespace FuzzSupport

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif // FUZZSUPPORT_H
