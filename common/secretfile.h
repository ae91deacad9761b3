#pragma once
// A password kept in a file, never on a command line: the operator's for the
// tools, the certificates' for the server. Whoever reads the file holds the
// password, so a file that another user may read or write is refused before
// it is opened.
#include <QByteArray>
#include <QString>

#include <optional>

namespace zavcommon {

enum class SecretFault {
    OpenToOthers, // the group or other users may read or write it
    Unreadable,   // missing, or could not be opened
};

// The file's first line, without its line end (at most 4,095 bytes are read).
// nullopt with *fault, and in *why (when given) the system's reason when it is
// unreadable.
std::optional<QByteArray> readSecretLine(const QString& path, SecretFault* fault, QString* why = nullptr);

// An operator's password for a program that signs in without asking (the
// host in batch, zav-admin): the file's first line as text, or nullopt with
// *message saying to the operator what is wrong with the file.
std::optional<QString> readPasswordFile(const QString& path, QString* message);

} // namespace zavcommon
