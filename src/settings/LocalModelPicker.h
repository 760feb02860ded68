#pragma once

#include "localllm/LocalLLMCatalog.h"

#include <QList>
#include <QSet>
#include <QString>

// The default-model chooser of the local model tab: one entry per catalogue model
// with its facts and marks, and an entry that switches to a custom model id.
namespace ModelCatalogPicker {

// Memory a model may need beyond which it is marked as too large: the machine's
// memory less this headroom.
inline constexpr double kRamHeadroomGB = 4.0;

// "%.1f GB · %d tok/s · %.0f GB RAM" with "." as the decimal mark.
QString factsLine(const LocalLLMModel& model);
// Whether the model needs more memory than the machine can spare.
bool exceedsRam(const LocalLLMModel& model, double machineRamGB);
// "name · facts[ · téléchargé][ · ⚠︎ dépasse la RAM]".
QString rowLabel(const LocalLLMModel& model, const QSet<QString>& downloadedIds, double machineRamGB);
QString currentModelTitle(const QString& selection, const QList<LocalLLMModel>& models);
QString currentModelSubtitle(const QString& selection, const QList<LocalLLMModel>& models,
                             const QSet<QString>& downloadedIds);
// The selection after "Autre (ID Hugging Face personnalisé)…": a catalogue model
// is unselected (which shows the custom field); a custom id stays.
QString customEntrySelection(const QString& selection, const QList<LocalLLMModel>& models);

// The machine's physical memory in GiB (MemTotal of /proc/meminfo), 0 when unknown.
double machineRamGB(const QString& meminfoPath = QStringLiteral("/proc/meminfo"));

} // namespace ModelCatalogPicker
