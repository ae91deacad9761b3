#pragma once
// The positional arguments of one call, read by position with their type and
// size checked: every failure is an "invalid params" error naming the argument
// by its number and its meaning, in the operator's words.
#include <QCborArray>
#include <QDate>
#include <QString>

namespace zavserver {

class Arguments {
public:
    Arguments(QString method, const QCborArray& params);

    qsizetype count() const { return m_params.size(); }

    // A text of at most maxLength characters once the blanks around it are
    // dropped; required: it must not be empty.
    enum class Presence { Required, Optional };
    QString text(int position, const QString& label, qsizetype maxLength,
                 Presence presence = Presence::Required) const;

    // A whole day, as "YYYY-MM-DD".
    QDate date(int position, const QString& label) const;

    // The argument as it came (undefined past the end), for a structured
    // argument such as a data packet, which its method checks itself.
    QCborValue value(int position) const { return at(position); }

    // An "invalid params" error about one argument.
    [[noreturn]] void reject(int position, const QString& label, const QString& why) const;

private:
    QCborValue at(int position) const;

    QString m_method;
    QCborArray m_params;
};

} // namespace zavserver
