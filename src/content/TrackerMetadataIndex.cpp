#include "content/TrackerMetadataIndex.h"

#include "content/TrackerModule.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Modules.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>

#include <glib.h>

#include <memory>

TrackerModule& trackerModule() {
    return Modules::get<TrackerModule>("tracker", loc("L'index des fichiers"));
}

const char* TrackerMetadataIndex::minerBusName = "org.freedesktop.Tracker3.Miner.Files";

namespace {

bool minerOwnsItsName() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    call << QString::fromLatin1(TrackerMetadataIndex::minerBusName);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().toBool();
}

} // namespace

TrackerMetadataIndex::TrackerMetadataIndex()
    : onBus_(true) {}

TrackerMetadataIndex::TrackerMetadataIndex(_TrackerSparqlConnection* connection)
    : onBus_(false)
    , connection_(connection ? trackerModule().adopt(connection) : nullptr) {}

TrackerMetadataIndex::~TrackerMetadataIndex() = default;

std::shared_ptr<SparqlConnection> TrackerMetadataIndex::connection() {
    QMutexLocker lock(&mutex_);
    if (!onBus_)
        return connection_;
    if (!minerOwnsItsName())
        return nullptr;
    if (!connection_) {
        QString error;
        try {
            connection_ = trackerModule().connectBus(minerBusName, &error);
        } catch (const ModuleError& missing) {
            error = missing.description();
        }
        if (!connection_) {
            qCInfo(lcContent) << "Tracker miner unreachable:" << error;
            return nullptr;
        }
    }
    return connection_;
}

bool TrackerMetadataIndex::indexes(SparqlConnection& connection, const QString& folder) {
    QStringList paths{folder};
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty() && canonical != folder)
        paths.append(canonical);
    QStringList alternatives;
    for (QString path : paths) {
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        const QString uri = fileUri(path);
        if (!uri.isEmpty())
            alternatives.append(QStringLiteral("{ ?folder nie:url %1 }").arg(sparqlString(uri)));
    }
    if (alternatives.isEmpty())
        return false;
    const QString ask = QStringLiteral("ASK { %1 }").arg(alternatives.join(QStringLiteral(" UNION ")));
    return connection.ask(ask.toUtf8()).value_or(false);
}

bool TrackerMetadataIndex::isAvailable(const QStringList& folders) {
    const std::shared_ptr<SparqlConnection> held = connection();
    if (!held)
        return false;
    for (const QString& folder : folders) {
        if (!indexes(*held, folder))
            return false;
    }
    return true;
}

QString TrackerMetadataIndex::sparqlString(const QString& text) {
    QString literal;
    literal.reserve(text.size() + 8);
    literal += QLatin1Char('"');
    for (QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            literal += QLatin1String("\\\\");
            break;
        case '"':
            literal += QLatin1String("\\\"");
            break;
        case '\'':
            literal += QLatin1String("\\'");
            break;
        case '\n':
            literal += QLatin1String("\\n");
            break;
        case '\r':
            literal += QLatin1String("\\r");
            break;
        case '\t':
            literal += QLatin1String("\\t");
            break;
        case '\b':
            literal += QLatin1String("\\b");
            break;
        case '\f':
            literal += QLatin1String("\\f");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                literal += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                literal += c;
        }
    }
    literal += QLatin1Char('"');
    return literal;
}

QString TrackerMetadataIndex::tokenPattern(const QString& token) {
    static const QString special = QStringLiteral("\\^$.|+()[]{}/-#&~<>=!:,");
    const QChar star = QLatin1Char('*');
    qsizetype begin = 0;
    qsizetype end = token.size();
    while (begin < end && token.at(begin) == star)
        ++begin;
    while (end > begin && token.at(end - 1) == star)
        --end;
    QString pattern;
    pattern.reserve((end - begin) * 2);
    int wildcards = 0;
    for (qsizetype i = begin; i < end; ++i) {
        const QChar c = token.at(i);
        if (c == star) {
            if (token.at(i - 1) != star && ++wildcards <= kMaxWildcards)
                pattern += QStringLiteral(".{0,%1}").arg(kWildcardRun);
        } else if (c == QLatin1Char('?'))
            pattern += QLatin1Char('.');
        else if (special.contains(c))
            pattern += QLatin1Char('\\') + QString(c);
        else
            pattern += c;
    }
    return pattern;
}

QString TrackerMetadataIndex::fileUri(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    gchar* uri = g_filename_to_uri(native.constData(), nullptr, nullptr);
    if (!uri)
        return {};
    const QString text = QString::fromUtf8(uri);
    g_free(uri);
    return text;
}

QString TrackerMetadataIndex::queryText(const MetadataQuery& query) {
    QStringList groups;
    for (const QStringList& group : query.predicate.anyOf) {
        QStringList tokens;
        for (const QString& token : group) {
            const QString pattern = sparqlString(tokenPattern(token));
            tokens.append(QStringLiteral("(REGEX(COALESCE(?name, \"\"), %1, \"is\") || "
                                         "REGEX(COALESCE(?title, \"\"), %1, \"is\") || "
                                         "REGEX(COALESCE(?text, \"\"), %1, \"is\"))")
                              .arg(pattern));
        }
        if (!tokens.isEmpty())
            groups.append(QLatin1Char('(') + tokens.join(QStringLiteral(" && ")) + QLatin1Char(')'));
    }
    if (groups.isEmpty() || query.limit <= 0)
        return {};

    QSet<QString> seen;
    QStringList scopes;
    for (const QString& folder : query.folders) {
        QStringList variants{folder};
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        if (!canonical.isEmpty())
            variants.append(canonical);
        for (QString variant : variants) {
            while (variant.size() > 1 && variant.endsWith(QLatin1Char('/')))
                variant.chop(1);
            QString prefix = fileUri(variant);
            if (prefix.isEmpty())
                continue;
            if (!prefix.endsWith(QLatin1Char('/')))
                prefix += QLatin1Char('/');
            if (seen.contains(prefix))
                continue;
            seen.insert(prefix);
            scopes.append(QStringLiteral("STRSTARTS(?url, %1)").arg(sparqlString(prefix)));
        }
    }
    if (scopes.isEmpty())
        return {};

    return QStringLiteral("SELECT DISTINCT ?url ?name ?size ?modified WHERE { "
                          "?file a nfo:FileDataObject ; nie:url ?url . "
                          "OPTIONAL { ?file nfo:fileName ?name } "
                          "OPTIONAL { ?file nfo:fileSize ?size } "
                          "OPTIONAL { ?file nfo:fileLastModified ?modified } "
                          "OPTIONAL { ?content nie:isStoredAs ?file . "
                          "OPTIONAL { ?content nie:title ?title } "
                          "OPTIONAL { ?content nie:plainTextContent ?text } } "
                          "FILTER (%1) "
                          "FILTER (%2) "
                          "} ORDER BY DESC(?modified) LIMIT %3")
        .arg(scopes.join(QStringLiteral(" || ")), groups.join(QStringLiteral(" || ")),
             QString::number(query.limit));
}

void TrackerMetadataIndex::gather(const MetadataQuery& query, MetadataGathering& gathering) {
    const QString sparql = queryText(query);
    if (sparql.isEmpty())
        return;
    const std::shared_ptr<SparqlConnection> held = connection();
    if (!held)
        return;

    // Ending the gathering (the time-out) cancels the query where it stands.
    TrackerModule& tracker = trackerModule();
    const std::shared_ptr<SparqlCancel> cancel = tracker.newCancel();
    gathering.setOnEnd([cancel] { cancel->cancel(); });

    QString error;
    const bool ran = held->select(
        sparql.toUtf8(), *cancel,
        [&](const QList<std::optional<QString>>& row) {
            MetadataItem item;
            if (row.size() < 4)
                return false;
            if (row[0])
                item.path = tracker.pathOfUri(row[0]->toUtf8());
            if (row[1])
                item.name = *row[1];
            if (row[2])
                item.size = row[2]->toLongLong();
            if (row[3]) {
                const QDateTime modified = QDateTime::fromString(*row[3], Qt::ISODateWithMs);
                if (modified.isValid())
                    item.modifiedAt = modified;
            }
            return gathering.add(std::move(item));
        },
        &error);
    if (!ran && !error.isEmpty())
        qCWarning(lcContent) << "Tracker query failed:" << error;
    gathering.setOnEnd(nullptr);
}
