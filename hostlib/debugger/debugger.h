#ifndef DEBUGGER_H
#define DEBUGGER_H

#include <QLoggingCategory>
#include <QString>

#include <ostream>
#include <sstream>
#include <string>

// Names the component a log record belongs to. Each section becomes its own
// logging category "oru.<section>", so QT_LOGGING_RULES can filter it.
struct SECTION {
    explicit SECTION(const char *name);
    explicit SECTION(const std::string &name);

    std::string name;
};

// One log record: built as a temporary, written through Dump() or operator<<,
// and emitted when the temporary dies at the end of the statement. Records
// are at info level unless a level is given.
class Debugger {
public:
    Debugger(const SECTION &section, const std::string &function, int line);
    Debugger(const QLoggingCategory &category, QtMsgType level, const std::string &function,
             int line);
    ~Debugger();

    Debugger(const Debugger &) = delete;
    Debugger &operator=(const Debugger &) = delete;

    std::ostream &Dump();
    std::ostream &operator<<(const QString &text);

    // The category a section logs to; created on first use and kept for the
    // life of the process.
    static const QLoggingCategory &category(const std::string &section);
    static bool isEnabled(const QLoggingCategory &category, QtMsgType level);
    // "Class::function" out of the compiler's text of the enclosing function
    // (return type, parameters and any closure parts dropped), followed by
    // "::" and closure when one is named.
    static std::string functionText(const char *compilerText, const char *closure);

private:
    const QLoggingCategory &m_category;
    QtMsgType m_level;
    std::string m_function;
    int m_line;
    std::ostringstream m_text;
};

std::ostream &operator<<(std::ostream &stream, const QString &text);

// ORU_LOG_INFO(section) << ...; or ORU_LOG_WARNING(section, "closureName") << ...;
// section is a string literal. Each statement looks its category up once and
// then costs one test while the category is disabled; the record, its function
// text included, is built only when enabled.
#define ORU_LOG_INFO(...) ORU_LOG_AT_(QtInfoMsg, __VA_ARGS__, "")
#define ORU_LOG_WARNING(...) ORU_LOG_AT_(QtWarningMsg, __VA_ARGS__, "")

#define ORU_LOG_AT_(level, section, closure, ...)                                                  \
    for (const QLoggingCategory *oruLogCategory_ = &[]() -> const QLoggingCategory & {             \
             static const QLoggingCategory &category = Debugger::category(section);                \
             return category;                                                                      \
         }();                                                                                      \
         oruLogCategory_ && Debugger::isEnabled(*oruLogCategory_, level);                          \
         oruLogCategory_ = nullptr)                                                                \
    Debugger(*oruLogCategory_, level, Debugger::functionText(Q_FUNC_INFO, closure), __LINE__).Dump()

#endif // DEBUGGER_H
