#pragma once
// The base of every dataset: a set of rows with ordered fields and a current
// row, opened and closed, in one of a few states. Queries read their rows from
// the database; an in-memory client dataset derives from it with an edit buffer.
//
// Notifications: state changes reach the data sources at once (their handlers
// run inside the call that changed the state, so an exception from a handler
// reaches that caller) and then go out as stateChanged(). Moves of the current
// row (recordChanged) and changes of the rows (dataChanged) are held back
// while controls are disabled and sent once when the last EnableControls runs.
#include "field.h"
#include "zavhost_export.h"
#include <QList>
#include <QObject>
#include <QPointer>
#include <memory>
#include <vector>

class TDataSource;

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

class ZAVHOST_EXPORT TDataSet : public QObject {
    Q_OBJECT
public:
    explicit TDataSet(QObject* parent = nullptr);
    ~TDataSet() override;

    bool Active() const { return m_state != dsInactive; }
    void Open(); // throws EDatabaseError
    void Close();
    TDataSetState State() const { return m_state; }

    bool IsEmpty() const { return RecordCount() == 0; }
    int RecordCount() const; // 0 while closed
    // 1-based number of the current row; -1 while closed or empty. Setting a
    // row outside 1..RecordCount throws EDatabaseError.
    int RecNo() const;
    void SetRecNo(int recNo);
    void First();
    void Last();
    void Next();  // past the last row: stays there and sets Eof
    void Prior(); // before the first row: stays there and sets Bof
    bool Eof() const;
    bool Bof() const;

    const QList<TField*>& Fields() const { return m_fieldList; }
    TField* FindField(const QString& name) const;   // nullptr when unknown; names compare case-insensitively
    TField* FieldByName(const QString& name) const; // throws EDatabaseError naming the field when unknown

    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return m_disableCount > 0; }

    // Editing, for datasets that allow it; a read-only dataset refuses.
    virtual void Edit();
    virtual void Insert();
    virtual void Post();
    virtual void Cancel();

    // Field access on the current row, used by TField.
    virtual QVariant fieldValue(const TField& field) const = 0;
    virtual void setFieldValue(TField& field, const QVariant& value);

Q_SIGNALS:
    void stateChanged();
    void recordChanged();
    void dataChanged();

protected:
    // Fill the rows (return normally only when the dataset can browse them) and
    // drop them. doOpen may create fields; doClose may remove them.
    virtual void doOpen() = 0;
    virtual void doClose() = 0;
    virtual int rowCount() const = 0;

    // 0-based row of the current record, -1 when there is none.
    int currentRow() const { return m_row; }
    void setState(TDataSetState state);
    void notifyRecordChanged();
    void notifyDataChanged();
    void checkActive(const char* operation) const;
    [[noreturn]] void readOnly(const char* operation) const;

    TField* addField(const TFieldDef& def);
    void clearFields();
    QString describeName() const; // the objectName, or the class name without one

private:
    friend class TDataSource;
    void attach(TDataSource* source);
    void detach(TDataSource* source);
    // Before the current row changes: the dataset open, a pending row posted.
    void beginMove();
    void moveTo(int row);

    TDataSetState m_state = dsInactive;
    std::vector<std::unique_ptr<TField>> m_fields;
    QList<TField*> m_fieldList;
    QList<QPointer<TDataSource>> m_sources;
    int m_row = -1;
    bool m_eof = true;
    bool m_bof = true;
    int m_disableCount = 0;
    bool m_pendingRecord = false;
    bool m_pendingData = false;
};

// DisableControls for a block: the controls follow the dataset again when the
// block ends, however it ends.
class ZAVHOST_EXPORT TControlsDisabled {
public:
    explicit TControlsDisabled(TDataSet* dataSet) : m_dataSet(dataSet) { m_dataSet->DisableControls(); }
    TControlsDisabled(const TControlsDisabled&) = delete;
    TControlsDisabled& operator=(const TControlsDisabled&) = delete;
    ~TControlsDisabled();

private:
    QPointer<TDataSet> m_dataSet;
};
