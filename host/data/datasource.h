#pragma once
// Links data-aware controls and handlers to a dataset. OnStateChange runs
// whenever the dataset's state changes (opened, closed, edited, posted), inside
// the call that changed it; stateChanged() is emitted after it.
#include "zavhost_export.h"
#include <QObject>
#include <QPointer>
#include <functional>

class TDataSet;

class ZAVHOST_EXPORT TDataSource : public QObject {
    Q_OBJECT
public:
    explicit TDataSource(QObject* parent = nullptr);
    ~TDataSource() override;

    TDataSet* DataSet() const { return m_dataSet; }
    void SetDataSet(TDataSet* dataSet);

    std::function<void(QObject* sender)> OnStateChange;

Q_SIGNALS:
    void stateChanged();

private:
    friend class TDataSet;
    void stateChangedBy(TDataSet* dataSet);

    QPointer<TDataSet> m_dataSet;
};
