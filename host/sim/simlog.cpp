#include "simlog.h"

Q_LOGGING_CATEGORY(lcSim, "oru.host.sim")
