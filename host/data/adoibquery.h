#pragma once
// A read-only query of the host database through Qt SQL.
//
// The statement is a list of lines, sent joined with line breaks exactly as
// stored (on SQLite, less the disjuncts of decided flags: see below). Its
// named parameters (":NAME") are taken from the text; ParamByName refuses any
// other name, and a name written twice in the statement is one parameter whose
// value both occurrences receive. Every value is bound as a
// string (or NULL).
//
// Open prepares the statement, binds every parameter by name, runs it and reads
// every row into memory (a client-side cursor), then stands on the first row;
// the query stays open on its current row until Close. Fields declared before
// Open are matched to the result's columns by name, case-insensitively; with
// none declared, Open makes one field per column.
//
// Flags on SQLite: SQLite plans a statement once, before any value is known,
// so a condition "(KEY = :P_KEY OR :P_FLAG = 'T')" keeps it off the key's
// index even when the flag is off. When the connection is SQLite and a flag
// parameter (TParam::SetFlagValues) holds one of its constants, Open decides
// each "... OR :FLAG = 'literal')" of the statement whose comparison is false
// and runs a text derived from the stored one with that disjunct left out,
// which is the same condition (X OR FALSE is X) and lets SQLite use the index.
// No value is ever written into the text: the derived text only lacks
// disjuncts; everything it still names is bound. Where the shape is not
// plainly a disjunct of a boolean condition, the stored text runs unchanged.
// Derived texts are kept per combination of flag values. Other databases plan
// with the values and always get the stored text.
#include "dataset.h"
#include "param.h"
#include "zavhost_export.h"
#include <QList>
#include <QStringList>
#include <QVariant>
#include <map>
#include <memory>
#include <vector>

class QSqlDatabase;
class QSqlQuery;
class QSqlRecord;
class TADOIBDatabase;
class TADOIBTransaction;

class ZAVHOST_EXPORT TADOIBQuery : public TDataSet {
    Q_OBJECT
public:
    explicit TADOIBQuery(QObject* parent = nullptr);
    ~TADOIBQuery() override;

    // The host connection of dtmDBGeral.
    static const char* const DefaultConnection;

    const QStringList& SQL() const { return m_sql; }
    // Sets the statement (closing the query first); parameters of the same
    // name keep their values.
    void SetSQL(const QStringList& lines);

    QString Connection() const { return m_connection; }
    void SetConnection(const QString& connectionName);
    // The database and transaction the query runs under; they only name the
    // host's objects (the connection decides where it runs).
    void SetDatabase(TADOIBDatabase* database) { m_database = database; }
    TADOIBTransaction* Transaction() const { return m_transaction; }
    void SetTransaction(TADOIBTransaction* transaction) { m_transaction = transaction; }

    // Persistent fields, declared while the query is closed, in display order.
    TField* AddField(const TFieldDef& def);
    void ClearFields();

    // Parameters in the order their names first appear in the statement.
    QList<TParam*> Params() const;
    TParam* ParamByName(const QString& name); // throws EDatabaseError for a name the statement lacks
    TParam* FindParam(const QString& name);

    QVariant fieldValue(const TField& field) const override;

    // The text the last Open prepared: the stored statement joined with line
    // breaks, or on SQLite the text derived from it for the flags' values.
    QString StatementText() const { return m_statement; }

protected:
    void doOpen() override;
    void doClose() override;
    int rowCount() const override { return m_rows; }

private:
    void parseParams();
    struct Derived {
        QString text;
        QStringList names; // the parameters it still holds
    };
    // The text to prepare on SQLite for the flags' current values.
    const Derived& derivedForFlags();
    // The steps of Open, each throwing EDatabaseError in the words of its
    // failure; context names the query.
    void checkStatementReady(const QString& context) const;  // a statement, every parameter given
    QSqlDatabase openDatabase(const QString& context) const; // the connection, open
    QSqlQuery runStatement(const QSqlDatabase& db, const QString& context); // prepared, bound, run
    void declareFieldsOf(const QSqlRecord& record);                         // one field per column
    // The result's column of each field, matched by name; every field must have one.
    QList<int> resultColumns(const QSqlRecord& record, const QString& context) const;
    void readRows(QSqlQuery& q, const QList<int>& source, const QString& context); // all, into memory

    QStringList m_sql;
    QString m_connection;
    TADOIBDatabase* m_database = nullptr;
    TADOIBTransaction* m_transaction = nullptr;
    std::vector<std::unique_ptr<TParam>> m_params;
    bool m_persistent = false;
    QString m_statement;
    // SQLite's derived texts, by the flags' values; emptied with the statement.
    std::map<QString, Derived> m_derived;
    // The rows, one list per field (column-major keeps 100,000 rows compact).
    QList<QList<QVariant>> m_columns;
    int m_rows = 0;
};
