#ifndef ORUTYPES_H
#define ORUTYPES_H

#include <websockethandler.h> // ReplyCallback

#include <atomic>
#include <memory>

// The navigation mode, a whole number the controller interprets; the service
// passes any value on unchanged.
enum emNAVIGATION_MODE : int {
    NAVIGATION_MODE_NORMAL = 0,
    NAVIGATION_MODE_WAYLINE = 1,
    NAVIGATION_MODE_CLICK_GO = 2,
};

// Set once the client that asked has gone: its queued loads are dropped.
using CancelFlag = std::shared_ptr<const std::atomic_bool>;

#endif // ORUTYPES_H
