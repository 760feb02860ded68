#include "localllm/LocalLLMCatalog.h"

#include "localllm/LocalHttp.h"
#include "platform/Characters.h"
#include "platform/Json.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "session/APIConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <sys/stat.h>

namespace LocalLLMCatalog {

namespace {
LocalLLMModel row(const char* id, const char* name, double size, double ram, int speed,
                  const char* description, const char* family) {
    return LocalLLMModel{QString::fromUtf8(id),          QString::fromUtf8(name),  size, ram, speed,
                         QString::fromUtf8(description), QString::fromUtf8(family)};
}

const QDir::Filters kEverything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;

// The weight index of a sharded model is read up to this size; a longer one, or
// one naming more shards, does not make a whole snapshot.
constexpr qint64 kMaxIndexBytes = 16 * 1024 * 1024;
constexpr int kMaxShards = 10000;

bool isFile(const QString& path) {
    const QFileInfo info(path); // follows the snapshot's links into the blobs
    return info.exists() && info.isFile();
}

// A shard name of the index: a relative path that stays inside the snapshot.
bool isInsideName(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
    for (const QString& part : name.split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    return true;
}

// Every shard that the index names is present; false for an index that cannot
// be read, is too large, or names no shard.
bool shardsPresent(const QString& snapshot, const QString& indexPath) {
    QFile index(indexPath);
    if (index.size() > kMaxIndexBytes || !index.open(QIODevice::ReadOnly))
        return false;
    const auto document = json::tryParse(index.read(kMaxIndexBytes + 1));
    if (!document || !document->is_object() || !document->contains("weight_map") ||
        !document->at("weight_map").is_object())
        return false;
    QSet<QString> shards;
    for (const auto& entry : document->at("weight_map").items()) {
        const Json& file = entry.value();
        if (!file.is_string())
            return false;
        const QString name = json::qstr(file);
        if (!isInsideName(name))
            return false;
        shards.insert(name);
        if (shards.size() > kMaxShards)
            return false;
    }
    if (shards.isEmpty())
        return false;
    for (const QString& name : std::as_const(shards))
        if (!isFile(snapshot + QLatin1Char('/') + name))
            return false;
    return true;
}

QString folderFor(const QString& modelId) {
    QString name = modelId;
    name.replace(QLatin1Char('/'), QLatin1String("--"));
    return hubPath() + QStringLiteral("/models--") + name;
}
} // namespace

const QList<LocalLLMModel>& models() {
    static const QList<LocalLLMModel> table = {
        row("mlx-community/Phi-3.5-mini-instruct-4bit", "Phi-3.5 mini", 2.3, 3.0, 55,
            "Très léger, idéal pour des réponses rapides et tâches simples.", "Microsoft"),
        row("mlx-community/Llama-3.2-3B-Instruct-4bit", "Llama 3.2 3B", 2.0, 3.0, 50,
            "Le modèle Meta le plus efficace sur faible RAM.", "Meta"),
        row("mlx-community/Qwen3-4B-4bit", "Qwen3 4B", 2.5, 3.5, 45,
            "Compact et polyvalent, bon équilibre pour l'usage courant.", "Qwen"),
        row("mlx-community/Qwen3.5-4B-MLX-4bit", "Qwen3.5 4B", 2.5, 3.5, 45,
            "Nouvelle génération Qwen, meilleur raisonnement pour la même taille.", "Qwen"),
        row("mlx-community/Llama-3.1-8B-Instruct-4bit", "Llama 3.1 8B", 4.9, 6.5, 27,
            "Référence équilibrée — large support d'outils et multilingue.", "Meta"),
        row("mlx-community/Qwen3-8B-4bit", "Qwen3 8B", 5.0, 6.5, 25,
            "Très bon raisonnement + tool use, excellent en français.", "Qwen"),
        row("mlx-community/Qwen3.5-9B-MLX-4bit", "Qwen3.5 9B", 5.5, 7.0, 23,
            "Qwen3.5 taille moyenne — qualité supérieure à Qwen3 8B.", "Qwen"),
        row("Qwen/Qwen3-14B-MLX-4bit", "Qwen3 14B", 8.0, 10.0, 14,
            "Recommandé pour Mac 24 GB — très bon raisonnement et agents.", "Qwen"),
        row("mlx-community/Qwen2.5-Coder-14B-Instruct-4bit", "Qwen2.5 Coder 14B", 8.3, 10.0, 13,
            "Spécialisé code (Python, JS, Ruby, Swift, SQL…).", "Qwen"),
        row("mlx-community/DeepSeek-R1-Distill-Qwen-7B-4bit-mlx", "DeepSeek R1 7B", 4.3, 5.5, 32,
            "Reasoning-first — distill de DeepSeek-R1 sur Qwen, raisonnement visible <think>.", "DeepSeek"),
        row("mlx-community/DeepSeek-R1-Distill-Llama-8B-4bit", "DeepSeek R1 8B", 4.9, 6.5, 28,
            "Reasoning sur base Llama — meilleur en anglais + code qu'en français.", "DeepSeek"),
        row("mlx-community/DeepSeek-R1-Distill-Qwen-14B-4bit", "DeepSeek R1 14B", 8.0, 10.0, 14,
            "Distill 14B — raisonnement math/code fort, un peu plus lent que Qwen3 14B.", "DeepSeek"),
        row("mlx-community/Qwen3.6-35B-A3B-OptiQ-4bit", "Qwen3.6 35B A3B", 21.1, 24.0, 12,
            "MoE récent — 35B total, ~3B actifs, qualité forte sur Mac 32 GB+.", "Qwen"),
        row("mlx-community/Qwen3-32B-4bit", "Qwen3 32B", 18.0, 21.0, 6,
            "Le plus capable en 24 GB — proche saturation, autres apps fermées.", "Qwen"),
    };
    return table;
}

std::optional<LocalLLMModel> model(const QString& id) {
    return model(id, models());
}

std::optional<LocalLLMModel> model(const QString& id, const QList<LocalLLMModel>& in) {
    for (const LocalLLMModel& m : in)
        if (m.id == id)
            return m;
    return std::nullopt;
}

QString hubPath() {
    return QDir::homePath() + QStringLiteral("/.cache/huggingface/hub");
}

bool isSnapshotWhole(const QString& snapshot) {
    if (!isFile(snapshot + QStringLiteral("/config.json")))
        return false;
    const QString index = snapshot + QStringLiteral("/model.safetensors.index.json");
    if (QFileInfo::exists(index))
        return shardsPresent(snapshot, index);
    const QDir folder(snapshot);
    for (const QString& name :
         folder.entryList({QStringLiteral("*.safetensors"), QStringLiteral("*.npz")}, QDir::Files)) {
        if (isFile(snapshot + QLatin1Char('/') + name))
            return true;
    }
    return false;
}

bool isDownloadWhole(const QString& modelFolder) {
    // A blob still being written belongs to a download that has not ended.
    const QDir blobs(modelFolder + QStringLiteral("/blobs"));
    if (!blobs.entryList({QStringLiteral("*.incomplete")}, kEverything).isEmpty())
        return false;
    const QString snapshots = modelFolder + QStringLiteral("/snapshots");
    for (const QString& revision : QDir(snapshots).entryList(kEverything))
        if (isSnapshotWhole(snapshots + QLatin1Char('/') + revision))
            return true;
    return false;
}

QSet<QString> downloadedIds() {
    QSet<QString> ids;
    const QString hub = hubPath();
    const QDir hubDir(hub);
    if (!hubDir.exists())
        return ids;
    const QString prefix = QStringLiteral("models--");
    for (const QString& name : hubDir.entryList(kEverything, QDir::Name)) {
        if (!name.startsWith(prefix))
            continue;
        if (!isDownloadWhole(hub + QLatin1Char('/') + name))
            continue;
        QString id = name.mid(prefix.size());
        id.replace(QLatin1String("--"), QLatin1String("/"));
        ids.insert(id);
    }
    return ids;
}

std::optional<QList<LocalLLMModel>> decodeRemoteCatalog(const QByteArray& body) {
    try {
        const Json root = json::parse(body);
        const Json& rows = json::require(json::requireObject(root), "models");
        if (!rows.is_array())
            return std::nullopt;
        QList<LocalLLMModel> result;
        for (const Json& r : rows) {
            json::requireObject(r);
            LocalLLMModel m;
            m.id = json::requireString(r, "id");
            m.displayName = json::requireString(r, "display_name");
            m.sizeGB = json::requireDouble(r, "size_gb");
            m.ramGB = json::requireDouble(r, "ram_gb");
            const qint64 speed = json::requireInt(r, "tokens_per_sec");
            if (speed < INT_MIN || speed > INT_MAX)
                return std::nullopt;
            m.approxTokensPerSec = static_cast<int>(speed);
            m.description = json::optionalString(r, "description_fr")
                                .value_or(QStringLiteral("Modele MLX curaté par Ombrix."));
            m.familyTag = json::optionalString(r, "family").value_or(QStringLiteral("Local"));
            result.append(std::move(m));
        }
        if (result.isEmpty())
            return std::nullopt;
        return result;
    } catch (const JsonDecodingError&) {
        return std::nullopt;
    }
}

QCoro::Task<std::optional<QList<LocalLLMModel>>> fetchRemoteModels() {
    const QUrl url = APIConfig::endpoint(QStringLiteral("/local_llm/catalog.json"));
    if (!url.isValid())
        co_return std::nullopt;
    HttpRequest request;
    request.url = url;
    request.setHeader("Accept", "application/json");
    request.timeoutMs = 8000;
    HttpResponse response;
    try {
        // The backend's own host: the pinned session (no token is sent).
        response = co_await HttpSession::pinned().data(request);
    } catch (const std::exception& error) {
        qCInfo(lcLocalLLM) << "[LocalLLM] catalog fetch failed:" << error.what();
        co_return std::nullopt;
    }
    if (response.status < 200 || response.status > 299)
        co_return std::nullopt;
    co_return decodeRemoteCatalog(response.body);
}

bool isSafeModelId(const QString& id) {
    const QStringList parts = id.split(QLatin1Char('/'));
    if (parts.size() != 2)
        return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.startsWith(QLatin1Char('-')) || part == QLatin1String(".") ||
            part == QLatin1String(".."))
            return false;
        for (const QChar c : part) {
            const char16_t u = c.unicode();
            const bool allowed = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                                 u == '.' || u == '_' || u == '-';
            if (!allowed)
                return false;
        }
    }
    return true;
}

QString unsafeModelIdMessage(const QString& id) {
    return loc("Identifiant de modèle refusé : « %1 ». Il doit avoir la forme organisation/nom, avec des "
               "lettres, des chiffres, « . », « _ » ou « - ».")
        .arg(Characters::left(id, 200));
}

qint64 directorySize(const QString& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(fs::path(path.toStdString()), ec)))
        return 0;
    fs::recursive_directory_iterator it(fs::path(path.toStdString()),
                                        fs::directory_options::skip_permission_denied, ec);
    if (ec)
        return 0;
    qint64 total = 0;
    const fs::recursive_directory_iterator end;
    while (it != end) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode))
            total += static_cast<qint64>(info.st_size);
        it.increment(ec);
        if (ec)
            break;
    }
    return total;
}

qint64 deleteDownload(const QString& modelId) {
    namespace fs = std::filesystem;
    if (!isSafeModelId(modelId))
        throw MessageError(unsafeModelIdMessage(modelId));
    const QString folder = folderFor(modelId);
    const fs::path path(folder.toStdString());
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec)))
        return 0;
    const qint64 size = directorySize(folder);
    fs::remove_all(path, ec);
    if (ec)
        throw MessageError(
            loc("Le modèle n’a pas pu être supprimé : %1").arg(QString::fromStdString(ec.message())));
    return size;
}

} // namespace LocalLLMCatalog
