#ifndef HOSTLOG_H
#define HOSTLOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcHost)

#endif // HOSTLOG_H
