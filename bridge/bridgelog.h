#ifndef BRIDGELOG_H
#define BRIDGELOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcBridge)

#endif // BRIDGELOG_H
