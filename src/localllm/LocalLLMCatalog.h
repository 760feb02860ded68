#pragma once

#include <QList>
#include <QSet>
#include <QString>

#include <QCoro/QCoroTask>

#include <optional>

// One language model the computer can run with the local model server.
struct LocalLLMModel {
    QString id;          // Hugging Face repository id, organisation/name
    QString displayName; // short name shown to the user
    double sizeGB = 0;   // download size
    double ramGB = 0;    // memory needed to run it
    int approxTokensPerSec = 0;
    QString description; // one French sentence
    QString familyTag;   // model family label

    bool operator==(const LocalLLMModel& other) const = default;
};

// The models the local runtime knows: a built-in table, the backend's fresher
// catalogue, and what is present in the Hugging Face cache of the home folder.
// Stateless; the file operations may run on any thread.
namespace LocalLLMCatalog {

// The built-in table, in display order.
const QList<LocalLLMModel>& models();
// The first row with exactly this id (case-sensitive).
std::optional<LocalLLMModel> model(const QString& id);
std::optional<LocalLLMModel> model(const QString& id, const QList<LocalLLMModel>& in);

// ~/.cache/huggingface/hub
QString hubPath();

// Whether an id may reach a command line or a cache path: "owner/name", each part
// made of ASCII letters, digits, ".", "_" and "-", neither starting with "-" nor
// being "." or "..".
bool isSafeModelId(const QString& id);
// The French refusal of an id that isSafeModelId() rejects.
QString unsafeModelIdMessage(const QString& id);
// The ids of the cache folders "models--org--name" whose download is whole (see
// isDownloadWhole). A missing or unreadable cache gives the empty set. Reads the
// disk: call it off the GUI thread.
QSet<QString> downloadedIds();
// Whether a snapshot folder holds a usable model: a "config.json" and weights,
// that is every shard named by "model.safetensors.index.json" when there is one,
// else at least one "*.safetensors" (or "*.npz") file. Links into the blobs count
// only when their blob is there.
bool isSnapshotWhole(const QString& snapshot);
// Whether a model's cache folder holds a whole download: no "*.incomplete" blob
// (a download under way or interrupted) and at least one whole snapshot.
bool isDownloadWhole(const QString& modelFolder);

// The backend's catalogue ("/local_llm/catalog.json" under the API base), or
// nothing when it cannot be fetched, does not decode or is empty.
QCoro::Task<std::optional<QList<LocalLLMModel>>> fetchRemoteModels();
// Decodes a catalogue body; nothing when any row is malformed or none is given.
std::optional<QList<LocalLLMModel>> decodeRemoteCatalog(const QByteArray& body);

// The bytes of the regular files under the folder (symbolic links are not
// followed, the folder itself included; unreadable items count 0).
qint64 directorySize(const QString& path);
// Removes the model's cache folder and returns the bytes it occupied; 0 when it is
// not there. Throws a MessageError with the file system's reason when removal fails,
// and for an id that isSafeModelId() rejects. Links are removed, never followed.
qint64 deleteDownload(const QString& modelId);

} // namespace LocalLLMCatalog
