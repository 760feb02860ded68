#pragma once

#include "app/CloudCatalog.h"
#include "session/Models.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

class AppSession;

// One line of the provider picker's menu.
struct PickerEntry {
    enum class Kind {
        Section,          // a section title (title)
        CloudModel,       // a model of the catalogue
        FallbackProvider, // a provider, while the catalogue is empty
        LocalModel,       // a downloaded local model
        LocalDefault,     // "Self-Hosted (défaut du Mac)"
        Divider,
        ManageModels, // "Gérer les modèles…"
    };
    Kind kind = Kind::Section;
    QString title;
    QString subtitle; // a known local model's size and speed, else empty
    QString symbol;   // empty for sections and dividers

    Provider provider = Provider::OpenAI; // CloudModel, FallbackProvider
    QString model;                        // the cloud slug or the local model id

    bool operator==(const PickerEntry& other) const = default;
};

// The logic of the provider and model picker: the pill's text and symbol, the
// menu, and what a choice writes into the session (provider first, then the
// model). The catalogue is observed, the downloaded local models are given by the
// caller (read afresh each time the menu is built). GUI thread.
class ProviderPickerModel {
public:
    static constexpr const char* kLocalModelTab = "localLlm";

    ProviderPickerModel(AppSession& session, const CloudCatalog& catalog);

    static QString providerLabel(Provider provider);
    static QString providerSymbol(Provider provider);

    QString pillLabel() const;
    QString pillSymbol() const;
    // The first model of the catalogue (providers and models in order) with this slug.
    std::optional<CloudModel> catalogCloudModel(const QString& slug) const;

    QList<PickerEntry> menuEntries(const QSet<QString>& downloadedIds) const;
    // Carries out an entry; "Gérer les modèles…" opens the Settings window on the
    // local-model tab through SettingsOpener.
    void choose(const PickerEntry& entry);

private:
    AppSession& session_;
    const CloudCatalog& catalog_;
};
