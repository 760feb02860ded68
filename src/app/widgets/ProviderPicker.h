#pragma once

#include "app/ProviderPickerModel.h"

#include <QFrame>
#include <QSet>

class AppSession;
class CloudCatalog;
class QLabel;
class QMenu;

// The pill in the chat's input bar showing which model answers; a click opens the
// menu of cloud and local models. The menu is rebuilt from ProviderPickerModel each
// time it opens and whenever the catalogue or the downloaded models change.
class ProviderPicker : public QFrame {
    Q_OBJECT
public:
    ProviderPicker(AppSession& session, CloudCatalog& catalog, QWidget* parent = nullptr);

    const ProviderPickerModel& model() const { return model_; }
    // The menu as it would open now.
    QMenu* menu();
    QString pillText() const;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void updatePill();
    void rebuildMenu();
    void reloadDownloadedModels();

    AppSession& session_;
    CloudCatalog& catalog_;
    ProviderPickerModel model_;
    QSet<QString> downloaded_;
    QLabel* symbol_ = nullptr;
    QLabel* text_ = nullptr;
    QLabel* chevron_ = nullptr;
    QMenu* menu_ = nullptr;
};
