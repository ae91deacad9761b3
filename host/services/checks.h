#pragma once
// Checks and formats the screens call: emptiness, the error display with its
// silent abort, code and registration normalisation, person-type masks.
#include "zavhost_export.h"
#include <QString>

// True when nothing was entered: the text holds no character but blanks. The
// edits report an untouched mask or date edit as an empty text.
ZAVHOST_EXPORT bool EmptyString(const QString& text);

// Shows text through the host's error display; with abort true it then throws
// the silent abort, so the caller does not return.
ZAVHOST_EXPORT void MensErro(const QString& text, bool abort);

// Brings a code to its width: a code made only of digits and shorter than the
// width is left-padded with zeros ("1" -> "0001" for width 4); blanks around it
// are dropped first; any other code (letters, or already as wide as the width)
// is kept as typed, so it is looked up as the operator wrote it.
ZAVHOST_EXPORT QString Ajusta(const QString& code, int width);

// Normalises a registration number (CNPJ, CPF) in place: the separators an
// operator may type (blank, ".", "/", "-") are removed; the digits are kept as
// they are. Returns the normalised text as well.
ZAVHOST_EXPORT QString Ajusta_Inscricao(QString& registration);

// The edit mask for a person-type letter: "I" the mask for typing a number
// (up to 14 digits), "J" a CNPJ, "F" a CPF; any other letter a free mask of
// 20 characters, so a registration of that kind is never cut short.
ZAVHOST_EXPORT QString PictPess(const QString& letter);

// Formats a value with an edit mask in the toolkit's notation (";0" masks take
// the value without literals).
ZAVHOST_EXPORT QString FormatMaskText(const QString& editMask, const QString& value);
