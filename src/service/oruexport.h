#ifndef ORUEXPORT_H
#define ORUEXPORT_H

#include <QtGlobal>

#if defined(ORU_BUILDING_PLUGIN)
#define ORU_EXPORT Q_DECL_EXPORT
#else
#define ORU_EXPORT Q_DECL_IMPORT
#endif

#endif // ORUEXPORT_H
