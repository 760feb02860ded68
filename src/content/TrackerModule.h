#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

// The interface of the metadata index module (libombrix_tracker.so, Tracker's
// SPARQL library), loaded on first use through Modules. TrackerMetadataIndex is
// what the program uses.

// Stops a running query where it stands (from any thread).
class SparqlCancel {
public:
    virtual ~SparqlCancel() = default;
    virtual void cancel() = 0;
};

// One reference to a SPARQL connection; dropping the object drops the reference.
class SparqlConnection {
public:
    virtual ~SparqlConnection() = default;
    // The answer of an ASK query; nothing when it fails.
    virtual std::optional<bool> ask(const QByteArray& sparql) = 0;
    // Runs a SELECT query and hands each row's columns (nothing for an unbound
    // one) to `onRow` until it returns false, the rows end or `cancel` fires.
    // False with the reason in `error` when the query failed (empty when it was
    // cancelled).
    virtual bool select(const QByteArray& sparql, SparqlCancel& cancel,
                        const std::function<bool(const QList<std::optional<QString>>&)>& onRow,
                        QString* error) = 0;
};

class TrackerModule {
public:
    // A connection to the store a service publishes on the session bus; nothing
    // (with the reason in `error`) when it cannot be reached.
    virtual std::unique_ptr<SparqlConnection> connectBus(const char* busName, QString* error) = 0;
    // A new reference to a connection made elsewhere (a TrackerSparqlConnection*).
    virtual std::unique_ptr<SparqlConnection> adopt(void* connection) = 0;
    virtual std::shared_ptr<SparqlCancel> newCancel() = 0;
    // The local path of a file URI; empty when it has none.
    virtual QString pathOfUri(const QByteArray& uri) = 0;

protected:
    ~TrackerModule() = default;
};

// The loaded module; throws ModuleError when it is missing.
TrackerModule& trackerModule();
