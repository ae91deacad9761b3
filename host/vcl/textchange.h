#pragma once
// For the controls whose OnChange runs only when their text really changes.
#include "wincontrol.h"
#include "zavhost_export.h"
#include <QString>

// When now differs from *last: remembers it and runs onChange (guarded) for
// sender.
ZAVHOST_EXPORT void notifyTextChange(QObject* sender, const QString& now, QString* last,
                                     const TNotifyEvent& onChange);
