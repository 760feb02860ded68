// The Tracker headers (glib) use "signals" as an identifier: they come before Qt's.
#include <libtracker-sparql/tracker-sparql.h>

#include "content/TrackerMetadataIndex.h"

#include "platform/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>

#include <memory>

const char* TrackerMetadataIndex::minerBusName = "org.freedesktop.Tracker3.Miner.Files";

namespace {

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};

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

QString cursorString(TrackerSparqlCursor* cursor, int column) {
    if (tracker_sparql_cursor_get_value_type(cursor, column) == TRACKER_SPARQL_VALUE_TYPE_UNBOUND)
        return {};
    glong length = 0;
    const gchar* text = tracker_sparql_cursor_get_string(cursor, column, &length);
    return text ? QString::fromUtf8(text, length) : QString();
}

bool isBound(TrackerSparqlCursor* cursor, int column) {
    return tracker_sparql_cursor_get_value_type(cursor, column) != TRACKER_SPARQL_VALUE_TYPE_UNBOUND;
}

} // namespace

TrackerMetadataIndex::TrackerMetadataIndex()
    : onBus_(true) {}

TrackerMetadataIndex::TrackerMetadataIndex(_TrackerSparqlConnection* connection)
    : onBus_(false)
    , connection_(connection ? TRACKER_SPARQL_CONNECTION(g_object_ref(connection)) : nullptr) {}

TrackerMetadataIndex::~TrackerMetadataIndex() {
    if (connection_)
        g_object_unref(connection_);
}

_TrackerSparqlConnection* TrackerMetadataIndex::connection() {
    QMutexLocker lock(&mutex_);
    if (!onBus_)
        return connection_ ? TRACKER_SPARQL_CONNECTION(g_object_ref(connection_)) : nullptr;
    if (!minerOwnsItsName())
        return nullptr;
    if (!connection_) {
        GError* rawError = nullptr;
        connection_ = tracker_sparql_connection_bus_new(minerBusName, nullptr, nullptr, &rawError);
        const ErrorPtr error(rawError);
        if (!connection_) {
            qCInfo(lcContent) << "Tracker miner unreachable:" << (error ? error->message : "");
            return nullptr;
        }
    }
    return TRACKER_SPARQL_CONNECTION(g_object_ref(connection_));
}

bool TrackerMetadataIndex::indexes(_TrackerSparqlConnection* connection, const QString& folder) {
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
    GError* rawError = nullptr;
    TrackerSparqlCursor* rawCursor =
        tracker_sparql_connection_query(connection, ask.toUtf8().constData(), nullptr, &rawError);
    const ErrorPtr error(rawError);
    if (!rawCursor)
        return false;
    const std::unique_ptr<TrackerSparqlCursor, GObjectDeleter> cursor(rawCursor);
    if (!tracker_sparql_cursor_next(cursor.get(), nullptr, nullptr))
        return false;
    return tracker_sparql_cursor_get_boolean(cursor.get(), 0);
}

bool TrackerMetadataIndex::isAvailable(const QStringList& folders) {
    _TrackerSparqlConnection* raw = connection();
    if (!raw)
        return false;
    const std::unique_ptr<TrackerSparqlConnection, GObjectDeleter> held(raw);
    for (const QString& folder : folders) {
        if (!indexes(raw, folder))
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
    _TrackerSparqlConnection* raw = connection();
    if (!raw)
        return;
    const std::unique_ptr<TrackerSparqlConnection, GObjectDeleter> held(raw);

    // Ending the gathering (the time-out) cancels the query where it stands.
    const std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), GObjectDeleter());
    gathering.setOnEnd([cancellable] { g_cancellable_cancel(cancellable.get()); });

    GError* rawError = nullptr;
    TrackerSparqlCursor* rawCursor =
        tracker_sparql_connection_query(raw, sparql.toUtf8().constData(), cancellable.get(), &rawError);
    ErrorPtr error(rawError);
    if (!rawCursor) {
        if (error && !g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
            qCWarning(lcContent) << "Tracker query failed:" << error->message;
        gathering.setOnEnd(nullptr);
        return;
    }
    const std::unique_ptr<TrackerSparqlCursor, GObjectDeleter> cursor(rawCursor);
    for (;;) {
        rawError = nullptr;
        if (!tracker_sparql_cursor_next(cursor.get(), cancellable.get(), &rawError)) {
            error.reset(rawError);
            break;
        }
        MetadataItem item;
        const QByteArray uri = cursorString(cursor.get(), 0).toUtf8();
        if (gchar* path = g_filename_from_uri(uri.constData(), nullptr, nullptr)) {
            item.path = QFile::decodeName(path);
            g_free(path);
        }
        if (isBound(cursor.get(), 1))
            item.name = cursorString(cursor.get(), 1);
        if (isBound(cursor.get(), 2))
            item.size = tracker_sparql_cursor_get_integer(cursor.get(), 2);
        if (isBound(cursor.get(), 3)) {
            const QDateTime modified =
                QDateTime::fromString(cursorString(cursor.get(), 3), Qt::ISODateWithMs);
            if (modified.isValid())
                item.modifiedAt = modified;
        }
        if (!gathering.add(std::move(item)))
            break;
    }
    gathering.setOnEnd(nullptr);
}
