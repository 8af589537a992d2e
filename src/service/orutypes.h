#ifndef ORUTYPES_H
#define ORUTYPES_H

#include <websockethandler.h> // ReplyCallback

// The navigation mode, a whole number the controller interprets; the service
// passes any value on unchanged.
enum emNAVIGATION_MODE : int {
    NAVIGATION_MODE_NORMAL = 0,
    NAVIGATION_MODE_WAYLINE = 1,
    NAVIGATION_MODE_CLICK_GO = 2,
};

#endif // ORUTYPES_H
