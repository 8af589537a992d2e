#ifndef RESULT_H
#define RESULT_H

#include <QString>

#include <utility>

// The one internal error convention: an operation that can fail returns a
// Result, either a value or the message a failure reply would carry.
// Result<void> carries only the outcome.
template<class T> class Result {
public:
    static Result success(T value) { return Result(std::move(value), QString(), true); }
    static Result failure(const QString &message) { return Result(T(), message, false); }

    bool ok() const { return m_ok; }
    explicit operator bool() const { return m_ok; }
    // A failure's value is T's default. A temporary hands its value over
    // instead of copying it, which matters for large lists.
    const T &value() const & { return m_value; }
    T &&value() && { return std::move(m_value); }
    const QString &errorMessage() const { return m_errorMessage; }

private:
    Result(T value, const QString &message, bool ok)
        : m_value(std::move(value))
        , m_errorMessage(message)
        , m_ok(ok) {}

    T m_value;
    QString m_errorMessage;
    bool m_ok;
};

template<> class Result<void> {
public:
    static Result success() { return Result(QString(), true); }
    static Result failure(const QString &message) { return Result(message, false); }

    bool ok() const { return m_ok; }
    explicit operator bool() const { return m_ok; }
    const QString &errorMessage() const { return m_errorMessage; }

private:
    Result(const QString &message, bool ok)
        : m_errorMessage(message)
        , m_ok(ok) {}

    QString m_errorMessage;
    bool m_ok;
};

#endif // RESULT_H
