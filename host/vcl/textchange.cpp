#include "textchange.h"
#include "services/guard.h"

void notifyTextChange(QObject* sender, const QString& now, QString* last, const TNotifyEvent& onChange) {
    if (now == *last)
        return;
    *last = now;
    if (onChange)
        zav::guarded([&] { onChange(sender); });
}
