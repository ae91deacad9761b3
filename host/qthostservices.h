#pragma once
// The real dialogs of the host application.
#include "hostservices.h"
#include <QPointer>

class QWidget;

class ZAVHOST_EXPORT QtHostServices : public HostServices {
public:
    QtHostServices();
    ~QtHostServices() override;
    ZAV_HOST_SERVICES;

private:
    QPointer<QWidget> m_busy;
};
