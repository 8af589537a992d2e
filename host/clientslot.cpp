#include "clientslot.h"

ClientSlot::ClientSlot(Counter counter, QObject *socket)
    : QObject(socket)
    , m_counter(std::move(counter)) {
    ++*m_counter;
}

ClientSlot::~ClientSlot() {
    --*m_counter;
}
