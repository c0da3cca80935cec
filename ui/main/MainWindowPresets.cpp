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
    return ShownPresets().ChosenPresetLevel(presetbox->currentIndex());
}

BalanceMeasure TBalanceVolumes::ChosenMeasure() const {
    return measurebox->currentIndex() == 1 ? BalanceMeasure::Lufs : BalanceMeasure::Rms;
}

PresetList& TBalanceVolumes::ShownPresets() {
    return ChosenMeasure() == BalanceMeasure::Lufs ? lufsPresets_ : presets_;
}

const PresetList& TBalanceVolumes::ShownPresets() const {
    return ChosenMeasure() == BalanceMeasure::Lufs ? lufsPresets_ : presets_;
}

void TBalanceVolumes::measureboxChange(int /*index*/) {
    const int shownBefore = presetbox->currentIndex();
    FillPresetBox(QString());
    presetbox->setCurrentIndex(otherPresetIndex_ < presetbox->count() ? otherPresetIndex_ : -1);
    otherPresetIndex_ = shownBefore;
    if (presetbtn->isChecked() && presetbox->count() == 0) {
        quietestbtn->setChecked(true);
    }
    presetbtnClick();
}

bool TBalanceVolumes::PresetChosen() const {
    return presetbtn->isChecked() && presetbox->currentIndex() >= 0;
}

void TBalanceVolumes::FillPresetBox(const QString& name) {
    presetbox->clear();
    for (const std::string& item : ShownPresets().Names()) {
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
        // By LUFS a preset holds the highlighted file's integrated loudness as last measured.
        const bool byLufs = ChosenMeasure() == BalanceMeasure::Lufs;
        const std::optional<double> lufs = highlighted->ResultBroadcast.IntegratedLufs
                                               ? highlighted->ResultBroadcast.IntegratedLufs
                                               : highlighted->SourceBroadcast.IntegratedLufs;
        if (byLufs && !lufs) {
            prompts_.Error(this,
                           QStringLiteral("The highlighted file's LUFS has not been measured: "
                                          "prepare or balance it by LUFS first"));
            UpdateEnablement();
            return;
        }
        bool store = true;
        if (ShownPresets().FindPreset(name) >= 0) {
            store =
                prompts_.WarningYesNo(this, QStringLiteral("Overwrite existing preset \"") +
                                                *reply + QLatin1Char('"')) == Prompts::Reply::Yes;
        }
        if (store) {
            const int index =
                ShownPresets().StorePreset(name, byLufs ? *lufs : highlighted->Loudness);
            FillPresetBox(*reply);
            presetbox->setCurrentIndex(index);
            presetbtn->setChecked(true);
            presetbtnClick();
        }
    }
    UpdateEnablement();
}

void TBalanceVolumes::delpresetbtnClick() {
    bool lufsBuiltInDeleted = false;  // a LUFS list has no 89 dB preset to keep deleted
    ShownPresets().DeletePreset(presetbox->currentIndex(), ChosenMeasure() == BalanceMeasure::Lufs
                                                               ? lufsBuiltInDeleted
                                                               : options_.replaygaindeleted);
    FillPresetBox(QString());
    presetbtnClick();
    if (ShownPresets().Empty()) {
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
