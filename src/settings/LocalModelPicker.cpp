#include "settings/LocalModelPicker.h"

#include "platform/Localization.h"

#include <QFile>
#include <QStringList>

namespace ModelCatalogPicker {

namespace {
QString fixed(double value, int decimals) {
    // QString::number always writes "." whatever the locale.
    return QString::number(value, 'f', decimals);
}
} // namespace

QString factsLine(const LocalLLMModel& model) {
    return QStringLiteral("%1 GB · %2 tok/s · %3 GB RAM")
        .arg(fixed(model.sizeGB, 1))
        .arg(model.approxTokensPerSec)
        .arg(fixed(model.ramGB, 0));
}

bool exceedsRam(const LocalLLMModel& model, double machineRamGB) {
    return !(model.ramGB <= machineRamGB - kRamHeadroomGB);
}

QString rowLabel(const LocalLLMModel& model, const QSet<QString>& downloadedIds, double machineRamGB) {
    QStringList parts{model.displayName, factsLine(model)};
    if (downloadedIds.contains(model.id))
        parts << loc("téléchargé");
    if (exceedsRam(model, machineRamGB))
        parts << loc("⚠︎ dépasse la RAM");
    return parts.join(QStringLiteral(" · "));
}

QString currentModelTitle(const QString& selection, const QList<LocalLLMModel>& models) {
    if (const auto model = LocalLLMCatalog::model(selection, models))
        return model->displayName;
    if (!selection.isEmpty())
        return loc("Personnalisé");
    return loc("Choisir un modèle");
}

QString currentModelSubtitle(const QString& selection, const QList<LocalLLMModel>& models,
                             const QSet<QString>& downloadedIds) {
    const auto model = LocalLLMCatalog::model(selection, models);
    if (!model)
        return selection;
    QString text = factsLine(*model);
    if (downloadedIds.contains(model->id))
        text += QStringLiteral(" · ") + loc("téléchargé");
    return text;
}

QString customEntrySelection(const QString& selection, const QList<LocalLLMModel>& models) {
    return LocalLLMCatalog::model(selection, models) ? QString() : selection;
}

double machineRamGB(const QString& meminfoPath) {
    QFile file(meminfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    // The figure is on the first line; a hostile or odd file is read no further than 64 KiB.
    const QByteArray text = file.read(64 * 1024);
    for (const QByteArray& line : text.split('\n')) {
        if (!line.startsWith("MemTotal:"))
            continue;
        const QList<QByteArray> fields = line.mid(9).simplified().split(' ');
        bool ok = false;
        const double kib = fields.value(0).toDouble(&ok);
        return ok && kib > 0 ? kib * 1024.0 / (1024.0 * 1024.0 * 1024.0) : 0;
    }
    return 0;
}

} // namespace ModelCatalogPicker
