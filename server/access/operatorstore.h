#pragma once
// The operators and the establishments each may work on, in the ERP
// database. Every method works on the connection it is given and throws
// AccessError for a refusal to report as it stands, zavdb::DatabaseError when
// the database fails.
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace zavserver {

struct OperatorRecord {
    QString code;
    QString name;
    QString passwordHash;
    bool active = true;
};

// An establishment on which an operator may use a program.
struct Grant {
    QString operatorCode;
    QString program;
    QString branch;
    QString company;
    bool operator==(const Grant&) const = default;
};

class OperatorStore {
public:
    // The program whose permissions the application server checks.
    static constexpr const char* kProgram = "ZAV50000";

    explicit OperatorStore(const QSqlDatabase& db) : m_db(db) {}

    // A new operator; refuses a code that exists and a password that breaks the
    // rules (credentials::checkNewPassword).
    void create(const QString& code, const QString& name, const QString& password);
    // A new password; the operator's open sessions end (now, in seconds).
    void setPassword(const QString& code, const QString& password, qint64 now);
    // An inactive operator cannot sign in, and its open sessions end.
    void setActive(const QString& code, bool active, qint64 now);
    std::optional<OperatorRecord> find(const QString& code) const;
    QList<OperatorRecord> all() const;

    // Grants are kept once; revoking what was not granted says so (false).
    void grant(const Grant& grant);
    // The program on every establishment of the database (each branch with its
    // own company and with the companies operating there); the number added.
    int grantEverywhere(const QString& code, const QString& program);
    bool revoke(const Grant& grant);
    QList<Grant> grants(const QString& code = {}) const;
    bool mayUse(const QString& code, const QString& program, const QString& branch,
                const QString& company) const;
    // The screen's check on an establishment: empty when the operator may use
    // it there, else what the operator is told (the refusal of a list, and of
    // each ticked invoice of an establishment not granted).
    QString screenRefusal(const QString& code, const QString& branch, const QString& company) const;

private:
    OperatorRecord existing(const QString& code) const;

    QSqlDatabase m_db;
};

} // namespace zavserver
