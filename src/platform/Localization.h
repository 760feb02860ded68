#pragma once

#include <QString>

// User-facing text: the French text is the key of the translation table and its own
// fallback, so a missing translation shows the French original.
QString loc(const char* french);
QString loc(const QString& french);
