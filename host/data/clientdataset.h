#pragma once
// An in-memory dataset over a data packet: the invoice list and the failure
// list of the cancellation screen.
//
// - Fields. Persistent fields (AddField, while closed) fix the layout the
//   screen binds to; SetData refuses a packet that lacks one of them or carries
//   it with another type. Without persistent fields the packet's own fields
//   are used. Fields of the packet that are not declared are kept and go back
//   in Data().
// - Data. SetData replaces every row and opens the dataset; SetData(null)
//   closes it without data (HasData() false); closing discards the rows, with
//   every edit in them. Data() is the whole list, in index order, with current
//   values: every row even while a filter is on.
// - Index. IndexFieldNames names one field; rows are kept in its ascending
//   order (a stable sort when the data arrives, so rows with equal keys keep
//   the server's order). Edits of the indexed field do not move the row.
// - Filter. Only the form FIELD = 'text' ('' inside the text is a quote), on a
//   string field; a NULL value reads as ''. The filter is evaluated when
//   Filtered is switched on, when the filter text changes while on, and when
//   data arrives; rows edited meanwhile keep their place until then. While it
//   is on, RecordCount, navigation and the grid access see only matching rows.
// - Editing. Edit opens an edit buffer on the current row; Post runs
//   BeforePost first: if it throws, the row stays in edit with its pending
//   values and the exception reaches the caller; Cancel drops them. Rows
//   cannot be added: Insert and Append run BeforeInsert and are refused
//   whatever it does. There is no Delete. Switching the filter or changing the
//   index while a row is in edit posts it first (and fails with it); new data
//   and Close drop the pending values with the rest of the list.
//
// For a grid model: ViewRowCount(), value(row, field) and the current row
// without moving the cursor; the signals dataChanged() (everything may have
// changed: rows, their number, their order) and rowChanged(row) (one row's
// values, its edit buffer included). rowChanged is not sent while controls are
// disabled: those changes are folded into the one dataChanged() that the last
// EnableControls sends, so a pass over 100,000 rows costs no signal per row.
#include "datapacket.h"
#include "dataset.h"
#include "zavhost_export.h"
#include <QString>
#include <functional>
#include <vector>

using TDataSetNotifyEvent = std::function<void(TDataSet* dataSet)>;

class ZAVHOST_EXPORT TClientDataSet : public TDataSet {
    Q_OBJECT
public:
    explicit TClientDataSet(QObject* parent = nullptr);
    ~TClientDataSet() override;

    // A persistent field; only while closed.
    TField* AddField(const TFieldDef& def);

    void SetData(const DataPacket& packet); // throws EZavError; closed afterwards on failure
    void SetData(const QVariant& data);     // a DataPacket or null
    DataPacket Data() const;                // throws EDatabaseError without data
    QVariant DataVariant() const;           // null without data
    bool HasData() const { return m_hasData; }

    void SetIndexFieldNames(const QString& names);

    QString Filter() const { return m_filterText; }
    void SetFilter(const QString& expression); // throws EDatabaseError for a form it does not take
    bool Filtered() const { return m_filtered; }
    void SetFiltered(bool filtered);

    void Edit() override;
    void Insert() override;
    void Append();
    void Post() override;
    void Cancel() override;

    // Rows whose values differ from those that arrived with the data (a row
    // changed and changed back is no change), or that changed again since
    // they were delivered: the work a screen would lose if the data went away
    // now.
    int ChangeCount() const { return m_changedCount; }
    // Whether the row being edited holds a value other than its stored one.
    bool EditDiffers() const;
    // The row's values were delivered (the server has acted on them): it is
    // no longer work to lose, until it changes again.
    void Delivered(int viewRow);

    // A pass over many rows at the speed of the storage. SetTextOnRows writes
    // a string field on the rows of the view from `from` on, in order, each
    // one straight into the storage as if it had been edited and posted
    // (ChangeCount counts it when its value changed), as long as `accept`
    // (asked with the view row first) takes it; it stops before the first row
    // accept refuses and returns that row, or ViewRowCount() when it wrote
    // them all. BeforePost does not run: accept is the rules' place. The
    // cursor does not move; the grid hears of the rows written by one
    // dataChanged (held back while controls are disabled), also when accept
    // throws. Only in browse state, for a string field of this dataset and a
    // text it can hold (throws EDatabaseError otherwise, nothing written).
    using RowFilter = std::function<bool(int row)>;
    int SetTextOnRows(const TField& field, const QString& text, int from, const RowFilter& accept);
    // The same pass over every row of the view, writing the rows `where`
    // takes and skipping the others; returns how many rows it wrote.
    int SetTextWhere(const TField& field, const QString& text, const RowFilter& where);
    // A string field's stored UTF-8 bytes on a view row, the edit buffer not
    // included; empty for NULL, out of range and for other fields.
    QUtf8StringView StoredText(int row, const TField& field) const;

    TDataSetNotifyEvent BeforePost;
    TDataSetNotifyEvent BeforeInsert;

    // Grid access: rows of the current view (index order, filter applied),
    // 0-based, without moving the cursor.
    int ViewRowCount() const { return RecordCount(); }
    int CurrentViewRow() const { return currentRow(); }
    QVariant value(int row, int fieldIndex) const;

    QVariant fieldValue(const TField& field) const override;
    void setFieldValue(TField& field, const QVariant& value) override;

Q_SIGNALS:
    void rowChanged(int row);

protected:
    void doOpen() override;
    void doClose() override;
    int rowCount() const override { return int(m_view.size()); }

private:
    struct Pending {
        std::vector<QVariant> values; // by field index
        std::vector<bool> set;
    };

    void checkBrowse(const char* operation);
    void sortRows();
    void applyFilter();
    void rebuildView();
    void emitRowChanged(int row);

    DataPacket m_packet;
    bool m_hasData = false;
    std::vector<int> m_fieldColumn; // by field index: column in the packet
    std::vector<int> m_order;       // packet rows in index order
    std::vector<int> m_view;        // m_order narrowed by the filter
    Pending m_pending;
    // The values a column held when the data arrived, kept from its first
    // change on: a string column's bytes, row after row (NULL and '' alike, as
    // a post compares them); any other column's values.
    struct Arrival {
        int column = -1;
        bool text = false;
        QByteArray bytes;
        std::vector<qsizetype> ends; // by packet row: where its bytes end
        std::vector<QVariant> values;

        bool same(const DataPacket& packet, int row) const;
    };
    void rememberArrival(int column);
    bool asArrived(int packetRow) const;
    // After a write that changed the row: is it changed work now?
    void noteChange(int packetRow);
    void setChanged(int packetRow, bool changed);
    QByteArray passText(const TField& field, const QString& text) const;
    void passWrite(int row, int column, QUtf8StringView bytes);
    std::vector<Arrival> m_arrivals;
    std::vector<bool> m_changed;   // by packet row: its values are not those that arrived
    std::vector<bool> m_delivered; // by packet row: delivered, and not changed since
    int m_changedCount = 0;
    bool m_dynamicFields = false; // the fields came from the packet

    QString m_indexField;
    QString m_filterText;
    QString m_filterField;
    QByteArray m_filterValue; // UTF-8
    bool m_filtered = false;
};
