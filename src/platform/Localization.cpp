#include "platform/Localization.h"

#include <QCoreApplication>

QString loc(const char* french) {
    return QCoreApplication::translate("Ombrix", french);
}

QString loc(const QString& french) {
    return loc(french.toUtf8().constData());
}
