#include "bridgelog.h"

Q_LOGGING_CATEGORY(lcBridge, "oru.bridge")
