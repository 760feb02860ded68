#include "platform/Errors.h"

#include "platform/Localization.h"

#include <QException>

const char* OmbrixError::what() const noexcept {
    try {
        whatCache_ = description().toStdString();
    } catch (...) {
        return "OmbrixError";
    }
    return whatCache_.c_str();
}

QString describeException(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const OmbrixError& e) {
        return e.description();
    } catch (const QUnhandledException& e) {
        // Thrown on a worker thread (QtConcurrent): the error itself.
        if (e.exception())
            return describeException(e.exception());
        return loc("Erreur inconnue");
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return loc("Erreur inconnue");
    }
}
