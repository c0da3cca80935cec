#include "TBalanceVolumes.h"

#include <QComboBox>
#include <QRadioButton>

#include "WindowServices.h"
#include "WindowText.h"
#include "dialogs/Prompts.h"

// The main window's reference level: its radio buttons, the presets and their drop-down.

namespace tralux {

void TBalanceVolumes::CheckReference(ReferenceChoice defaultreflevel) {
    // Checking a button runs what clicking it runs.
    switch (defaultreflevel) {
        case ReferenceChoice::Quietest:
            quietestbtn->setChecked(true);
            UpdateEnablement();
            break;
        case ReferenceChoice::Loudest:
            loudestbtn->setChecked(true);
            UpdateEnablement();
            break;
        case ReferenceChoice::Highlighted:
            selectedbtn->setChecked(true);
            UpdateEnablement();
            break;
        case ReferenceChoice::Preset:
            presetbtn->setChecked(true);
            presetbtnClick();
            break;
    }
}

ReferenceChoice TBalanceVolumes::CheckedReference() const {
    if (quietestbtn->isChecked()) {
        return ReferenceChoice::Quietest;
    }
    if (loudestbtn->isChecked()) {
        return ReferenceChoice::Loudest;
    }
    if (selectedbtn->isChecked()) {
        return ReferenceChoice::Highlighted;
    }
    return ReferenceChoice::Preset;
}

std::optional<double> TBalanceVolumes::ChosenPresetLevel() const {
    return presets_.ChosenPresetLevel(presetbox->currentIndex());
}

bool TBalanceVolumes::PresetChosen() const {
    return presetbtn->isChecked() && presetbox->currentIndex() >= 0;
}

void TBalanceVolumes::FillPresetBox(const QString& name) {
    presetbox->clear();
    for (const std::string& item : presets_.Names()) {
        presetbox->addItem(Qt8(item));
    }
    presetbox->setCurrentIndex(
        name.isEmpty() ? -1 : presetbox->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void TBalanceVolumes::addpresetbtnClick() {
    const std::optional<QString> reply =
        services_.AskName(this, QStringLiteral("Supply a Name for the Preset"), QString());
    const FileData* highlighted = HighlightedFile();
    if (reply && !reply->isEmpty() && highlighted != nullptr) {
        const std::string name = Std(*reply);
        bool store = true;
        if (presets_.FindPreset(name) >= 0) {
            store =
                prompts_.WarningYesNo(this, QStringLiteral("Overwrite existing preset \"") +
                                                *reply + QLatin1Char('"')) == Prompts::Reply::Yes;
        }
        if (store) {
            const int index = presets_.StorePreset(name, highlighted->Loudness);
            FillPresetBox(*reply);
            presetbox->setCurrentIndex(index);
            presetbtn->setChecked(true);
            presetbtnClick();
        }
    }
    UpdateEnablement();
}

void TBalanceVolumes::delpresetbtnClick() {
    presets_.DeletePreset(presetbox->currentIndex(), options_.replaygaindeleted);
    FillPresetBox(QString());
    presetbtnClick();
    if (presets_.Empty()) {
        quietestbtn->setChecked(true);
        UpdateEnablement();
    }
}

void TBalanceVolumes::presetbtnClick() {
    if (presetbtn->isChecked() && presetbox->currentIndex() < 0 && presetbox->count() > 0) {
        presetbox->setCurrentIndex(0);
    }
    UpdateEnablement();
    RePlan();
}

void TBalanceVolumes::presetboxChange(int /*index*/) {
    presetbtn->setChecked(true);
    presetbtnClick();
}

}  // namespace tralux
