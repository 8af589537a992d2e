#include "debugger.h"

#include <QLoggingCategory>

#include <map>
#include <memory>
#include <mutex>

SECTION::SECTION(const char *name)
    : name(QString::fromLocal8Bit(name).toStdString()) {}

SECTION::SECTION(const std::string &name)
    : name(name) {}

const QLoggingCategory &Debugger::category(const std::string &section) {
    // QLoggingCategory keeps a pointer to its name, so the names live here too.
    struct Entry {
        std::string name;
        std::unique_ptr<QLoggingCategory> category;
    };
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<Entry>> categories;

    std::lock_guard<std::mutex> lock(mutex);
    auto &entry = categories[section];
    if (!entry) {
        entry = std::make_unique<Entry>();
        entry->name = "oru." + section;
        entry->category = std::make_unique<QLoggingCategory>(entry->name.c_str());
    }
    return *entry->category;
}

Debugger::Debugger(const SECTION &section, const std::string &function, int line)
    : m_category(category(section.name))
    , m_function(function)
    , m_line(line) {}

Debugger::~Debugger() {
    if (!m_category.isInfoEnabled())
        return;
    QMessageLogger(nullptr, m_line, m_function.c_str(), m_category.categoryName())
            .info(m_category)
            .noquote()
        << QString::fromStdString(m_text.str());
}

std::ostream &Debugger::Dump() {
    return m_text;
}

std::ostream &Debugger::operator<<(const QString &text) {
    return m_text << text;
}

std::ostream &operator<<(std::ostream &stream, const QString &text) {
    return stream << text.toStdString();
}
