#ifndef CLIENTSLOT_H
#define CLIENTSLOT_H

#include <QObject>

#include <atomic>
#include <memory>

// One admitted client connection, counted for as long as its socket lives.
// A child of the socket: the socket may move to another thread, and its
// WebSocket drops every signal connection of it, but its children always die
// with it.
class ClientSlot : public QObject {
    Q_OBJECT
public:
    using Counter = std::shared_ptr<std::atomic<int>>;

    ClientSlot(Counter counter, QObject *socket);
    ~ClientSlot() override;

private:
    Counter m_counter;
};

#endif // CLIENTSLOT_H
