#pragma once
// Host services for unattended runs (--screenshot): nothing waits for an
// operator; every message goes to the standard error stream.
#include "services/hostservices.h"

class BatchServices : public HostServices {
public:
    void showError(const QString& text) override;
    void showException(const QString& text) override;
    // Nobody is there to answer: the question is written down and taken as yes.
    bool confirm(const QString& text) override;
    int chooseRow(const LookupRequest& request) override;
    void search(QWidget* owner, TDataSet* dataSet) override;
    void busyOn(QWidget* over, int kind) override;
    void busyOff() override;
    void showHelp(const QString& file, int context) override;
};
