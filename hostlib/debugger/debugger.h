#ifndef DEBUGGER_H
#define DEBUGGER_H

#include <QString>

#include <ostream>
#include <sstream>
#include <string>

class QLoggingCategory;

// Names the component a log record belongs to. Each section becomes its own
// logging category "oru.<section>", so QT_LOGGING_RULES can filter it.
struct SECTION {
    explicit SECTION(const char *name);
    explicit SECTION(const std::string &name);

    std::string name;
};

// One log record: built as a temporary, written through Dump() or operator<<,
// and emitted when the temporary dies at the end of the statement.
class Debugger {
public:
    Debugger(const SECTION &section, const std::string &function, int line);
    ~Debugger();

    Debugger(const Debugger &) = delete;
    Debugger &operator=(const Debugger &) = delete;

    std::ostream &Dump();
    std::ostream &operator<<(const QString &text);

    // The category a section logs to; created on first use and kept for the
    // life of the process.
    static const QLoggingCategory &category(const std::string &section);

private:
    const QLoggingCategory &m_category;
    std::string m_function;
    int m_line;
    std::ostringstream m_text;
};

std::ostream &operator<<(std::ostream &stream, const QString &text);

#endif // DEBUGGER_H
