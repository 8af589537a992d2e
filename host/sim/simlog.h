#ifndef SIMLOG_H
#define SIMLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcSim)

#endif // SIMLOG_H
