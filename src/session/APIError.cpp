#include "session/APIError.h"

#include "platform/Localization.h"

#include <QStringDecoder>

std::optional<QString> decodeUtf8Strict(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

APIError APIError::httpWithBytes(int status, const QByteArray& body) {
    return http(status, decodeUtf8Strict(body));
}

QString APIError::description() const {
    switch (kind_) {
    case Kind::Http: {
        QString text = loc("Erreur HTTP ") + QString::number(status_);
        if (body_ && !body_->isEmpty())
            text += QStringLiteral(" : ") + *body_;
        return text;
    }
    case Kind::NotAuthenticated:
        return loc("Pas connecté. Configure ton jeton dans Réglages.");
    case Kind::Decoding:
        return loc("Réponse illisible du serveur");
    }
    return QString();
}
