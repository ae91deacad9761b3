#include "datasource.h"

#include "dataset.h"

TDataSource::TDataSource(QObject* parent) : QObject(parent) {}

TDataSource::~TDataSource() {
    if (m_dataSet)
        m_dataSet->detach(this);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
    if (dataSet == m_dataSet)
        return;
    if (m_dataSet)
        m_dataSet->detach(this);
    m_dataSet = dataSet;
    if (m_dataSet)
        m_dataSet->attach(this);
}

void TDataSource::stateChangedBy(TDataSet* dataSet) {
    // The handler's sender is the data source, as the toolkit passes it.
    Q_UNUSED(dataSet);
    if (OnStateChange)
        OnStateChange(this);
    Q_EMIT stateChanged();
}
