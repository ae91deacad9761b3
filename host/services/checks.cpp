#include "checks.h"
#include "exceptions.h"
#include "hostservices.h"
#include "vcl/editmask.h"

bool EmptyString(const QString& text) {
    return text.trimmed().isEmpty();
}

void MensErro(const QString& text, bool abort) {
    Host().showError(text);
    if (abort)
        Abort();
}

QString Ajusta(const QString& code, int width) {
    QString c = code.trimmed();
    if (c.isEmpty() || c.size() >= width)
        return c;
    for (QChar ch : c)
        if (!ch.isDigit() || ch.unicode() > 127)
            return c;
    return c.rightJustified(width, QLatin1Char('0'));
}

QString Ajusta_Inscricao(QString& registration) {
    QString out;
    out.reserve(registration.size());
    for (QChar ch : registration)
        if (ch != QLatin1Char(' ') && ch != QLatin1Char('.') && ch != QLatin1Char('/') &&
            ch != QLatin1Char('-'))
            out.append(ch);
    registration = out;
    return out;
}

QString PictPess(const QString& letter) {
    if (letter == QLatin1String("I"))
        return QStringLiteral("99999999999999;0; ");
    if (letter == QLatin1String("J"))
        return QStringLiteral("99.999.999/9999-99;0;_");
    if (letter == QLatin1String("F"))
        return QStringLiteral("999.999.999-99;0;_");
    return QStringLiteral("cccccccccccccccccccc;0; ");
}

QString FormatMaskText(const QString& editMask, const QString& value) {
    return EditMask::parse(editMask).format(value);
}
