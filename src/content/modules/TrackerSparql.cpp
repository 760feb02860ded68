// The metadata index module: Tracker's SPARQL library behind the interface of
// content/TrackerModule.h. Links it (and glib) and Qt only.

// The Tracker headers (glib) use "signals" as an identifier: they come before Qt's.
#include <libtracker-sparql/tracker-sparql.h>

#include "content/TrackerModule.h"
#include "platform/ModuleExport.h"

#include <QFile>

namespace {

struct GErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};

class GioCancel final : public SparqlCancel {
public:
    GioCancel()
        : cancellable_(g_cancellable_new()) {}
    ~GioCancel() override { g_object_unref(cancellable_); }
    void cancel() override { g_cancellable_cancel(cancellable_); }
    GCancellable* get() const { return cancellable_; }

private:
    GCancellable* cancellable_;
};

std::optional<QString> cursorValue(TrackerSparqlCursor* cursor, int column) {
    if (tracker_sparql_cursor_get_value_type(cursor, column) == TRACKER_SPARQL_VALUE_TYPE_UNBOUND)
        return std::nullopt;
    glong length = 0;
    const gchar* text = tracker_sparql_cursor_get_string(cursor, column, &length);
    return text ? QString::fromUtf8(text, length) : QString();
}

class TrackerConnection final : public SparqlConnection {
public:
    // Takes over one reference.
    explicit TrackerConnection(TrackerSparqlConnection* connection)
        : connection_(connection) {}
    ~TrackerConnection() override { g_object_unref(connection_); }

    std::optional<bool> ask(const QByteArray& sparql) override {
        GError* rawError = nullptr;
        TrackerSparqlCursor* rawCursor =
            tracker_sparql_connection_query(connection_, sparql.constData(), nullptr, &rawError);
        const ErrorPtr error(rawError);
        if (!rawCursor)
            return std::nullopt;
        const std::unique_ptr<TrackerSparqlCursor, GObjectDeleter> cursor(rawCursor);
        if (!tracker_sparql_cursor_next(cursor.get(), nullptr, nullptr))
            return std::nullopt;
        return bool(tracker_sparql_cursor_get_boolean(cursor.get(), 0));
    }

    bool select(const QByteArray& sparql, SparqlCancel& cancel,
                const std::function<bool(const QList<std::optional<QString>>&)>& onRow,
                QString* error) override {
        GCancellable* cancellable = static_cast<GioCancel&>(cancel).get();
        GError* rawError = nullptr;
        TrackerSparqlCursor* rawCursor =
            tracker_sparql_connection_query(connection_, sparql.constData(), cancellable, &rawError);
        ErrorPtr failure(rawError);
        if (!rawCursor) {
            if (failure && !g_error_matches(failure.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED))
                *error = QString::fromUtf8(failure->message);
            return false;
        }
        const std::unique_ptr<TrackerSparqlCursor, GObjectDeleter> cursor(rawCursor);
        const int columns = tracker_sparql_cursor_get_n_columns(cursor.get());
        QList<std::optional<QString>> row;
        for (;;) {
            rawError = nullptr;
            if (!tracker_sparql_cursor_next(cursor.get(), cancellable, &rawError)) {
                failure.reset(rawError);
                break;
            }
            row.clear();
            for (int column = 0; column < columns; ++column)
                row.append(cursorValue(cursor.get(), column));
            if (!onRow(row))
                break;
        }
        return true;
    }

private:
    TrackerSparqlConnection* connection_;
};

class TrackerSparqlModule final : public TrackerModule {
public:
    std::unique_ptr<SparqlConnection> connectBus(const char* busName, QString* error) override {
        GError* rawError = nullptr;
        TrackerSparqlConnection* connection =
            tracker_sparql_connection_bus_new(busName, nullptr, nullptr, &rawError);
        const ErrorPtr failure(rawError);
        if (!connection) {
            *error = failure ? QString::fromUtf8(failure->message) : QString();
            return nullptr;
        }
        return std::make_unique<TrackerConnection>(connection);
    }
    std::unique_ptr<SparqlConnection> adopt(void* connection) override {
        if (!connection)
            return nullptr;
        return std::make_unique<TrackerConnection>(TRACKER_SPARQL_CONNECTION(g_object_ref(connection)));
    }
    std::shared_ptr<SparqlCancel> newCancel() override { return std::make_shared<GioCancel>(); }
    QString pathOfUri(const QByteArray& uri) override {
        gchar* path = g_filename_from_uri(uri.constData(), nullptr, nullptr);
        if (!path)
            return QString();
        const QString decoded = QFile::decodeName(path);
        g_free(path);
        return decoded;
    }
};

} // namespace

OMBRIX_MODULE_EXPORT(tracker) {
    static TrackerSparqlModule module;
    return &module;
}
