#include "pushrelay.h"

#include <QJsonDocument>

#include <algorithm>

void PushRelay::add(WebSocketHandler *view) {
    m_views.erase(std::remove_if(m_views.begin(), m_views.end(),
                                 [](const auto &gone) { return gone.isNull(); }),
                  m_views.end());
    m_views.emplace_back(view);
}

void PushRelay::send(const QJsonObject &obj) {
    if (std::none_of(m_views.cbegin(), m_views.cend(),
                     [](const auto &view) { return !view.isNull(); }))
        return;
    const QString text = QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
    // By index, and only the views there now: one may add or drop views while
    // it writes, and a view that comes later must not see this broadcast.
    const std::size_t count = m_views.size();
    for (std::size_t i = 0; i < count && i < m_views.size(); ++i) {
        if (WebSocketHandler *view = m_views[i])
            view->WriteWebText(text);
    }
}
