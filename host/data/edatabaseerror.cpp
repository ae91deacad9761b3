#include "edatabaseerror.h"

EDatabaseError::EDatabaseError(const QString& text) : EZavError(text) {}
