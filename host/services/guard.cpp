#include "guard.h"
#include "database.h"
#include "exceptions.h"
#include "hostservices.h"

namespace zav {

QString describe(const std::exception& e) {
    if (auto z = dynamic_cast<const EZavError*>(&e))
        return z->text();
    if (auto d = dynamic_cast<const zavdb::DatabaseError*>(&e))
        return d->text();
    return QString::fromUtf8(e.what());
}

bool guarded(const std::function<void()>& f) noexcept {
    try {
        f();
        return true;
    } catch (const EAbort&) {
        return false;
    } catch (const std::exception& e) {
        try {
            Host().showException(describe(e));
        } catch (...) {
        }
        return false;
    } catch (...) {
        try {
            Host().showException(QStringLiteral("Erro inesperado."));
        } catch (...) {
        }
        return false;
    }
}

} // namespace zav
