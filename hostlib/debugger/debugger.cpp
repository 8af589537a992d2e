#include "debugger.h"

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

bool Debugger::isEnabled(const QLoggingCategory &category, QtMsgType level) {
    return level == QtWarningMsg ? category.isWarningEnabled() : category.isInfoEnabled();
}

std::string Debugger::functionText(const char *compilerText, const char *closure) {
    // The name ends at the first parenthesis outside template brackets, and
    // starts after the last space before it, which ends the return type.
    const std::string text(compilerText);
    size_t start = 0;
    size_t end = text.size();
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '<')
            ++depth;
        else if (c == '>' && depth > 0)
            --depth;
        else if (depth == 0 && c == ' ')
            start = i + 1;
        else if (depth == 0 && c == '(') {
            end = i;
            break;
        }
    }
    std::string function = text.substr(start, end - start);
    if (closure && *closure)
        function += std::string("::") + closure;
    return function;
}

Debugger::Debugger(const SECTION &section, const std::string &function, int line)
    : Debugger(category(section.name), QtInfoMsg, function, line) {}

Debugger::Debugger(const QLoggingCategory &category, QtMsgType level, const std::string &function,
                   int line)
    : m_category(category)
    , m_level(level)
    , m_function(function)
    , m_line(line) {}

Debugger::~Debugger() {
    if (!isEnabled(m_category, m_level))
        return;
    QMessageLogger logger(nullptr, m_line, m_function.c_str(), m_category.categoryName());
    const QString text = QString::fromStdString(m_text.str());
    if (m_level == QtWarningMsg)
        logger.warning(m_category).noquote() << text;
    else
        logger.info(m_category).noquote() << text;
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
