#pragma once
// A failure told to a person as it stands, in Portuguese: text() for the
// screens and the logs, what() the same in UTF-8 for whoever knows only
// std::exception. The host's, the database's and the server's access errors
// are all of this kind, each a type of its own so that a handler catches only
// its own.
#include <QString>

#include <stdexcept>

namespace zavcommon {

class TextError : public std::runtime_error {
public:
    explicit TextError(const QString& text) : std::runtime_error(text.toStdString()), m_text(text) {}
    QString text() const { return m_text; }

private:
    QString m_text;
};

} // namespace zavcommon
