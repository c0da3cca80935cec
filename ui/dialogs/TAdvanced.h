#pragma once

#include <QDialog>

#include <string>

#include "settings/Options.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace tralux {

class Prompts;
class UpDown;

// "Advanced Options": output destination, loudness unit, compression limits, final limiting
// level and display options. The controls are filled from options when the dialog is built.
// exec() returns QDialog::Accepted after OK, with the controls copied back into options (the
// caller then refreshes the grid's names); QDialog::Rejected after Cancel, with nothing copied
// back. The three stepped values (maxcompfactor, warncompfactor, normaliselevel) are changed in
// options directly by their spinners and on opening, so they stay changed after Cancel too.
class TAdvanced : public QDialog {
    Q_OBJECT

public:
    TAdvanced(Options& options, Prompts& prompts, QWidget* parent = nullptr);

    // Signed step counts; 0 only re-checks the range and redisplays.
    void StepMaxComp(int count);
    void StepWarnComp(int count);
    void StepNormLevel(int count);

    // Handlers; a spinner click carries +1 (up) or -1 (down).
    void FormShow();
    void UpDown1Click(int direction);
    void UpDown2Click(int direction);
    void UpDown3Click(int direction);
    void loudnessClick();
    void okbtnClick();
    void browsebtnClick();

    QGroupBox* GroupBox1;
    QRadioButton* samefolder;
    QRadioButton* askfolder;
    QRadioButton* otherfolder;
    QLineEdit* outputfolder;
    QPushButton* browsebtn;
    QCheckBox* addextension;
    QLineEdit* extension;
    QCheckBox* overwritewarn;
    QGroupBox* loudness;
    QButtonGroup* loudnessItems;  // ids are the LoudnessUnit values
    QGroupBox* GroupBox2;
    QLabel* Label1;
    QLineEdit* maxcomp;
    UpDown* UpDown1;
    QLabel* Label3;
    QLineEdit* warncomp;
    UpDown* UpDown3;
    QCheckBox* finalnormto;
    QLineEdit* normlevel;
    UpDown* UpDown2;
    // The true-peak ceiling of a balance by LUFS, in dBTP (never above 0).
    QLabel* ceilinglabel;
    QDoubleSpinBox* truepeaklimit;
    QLabel* flaclevelLabel;
    QComboBox* flaclevel;  // item 0: as the source; item n + 1: level n
    QGroupBox* GroupBox3;
    QCheckBox* wavonly;
    QCheckBox* filenamesonly;
    QCheckBox* clipatend;
    QPushButton* okbtn;
    QPushButton* cancelbtn;

protected:
    void showEvent(QShowEvent* event) override;
    // Up and Down on a stepped value's box step it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    // The boxes of the dialog, top to bottom, left to right.
    void BuildOutputGroup();
    void BuildUnitGroup();
    void BuildProcessingGroup();
    void BuildDisplayGroup();
    void LoadFromOptions();
    void CopyToOptions();
    // The unit picked in the radio group, -1 when none is.
    int SelectedUnit() const;

    Options& options_;
    Prompts& prompts_;
    std::string decimalSeparator_;
};

}  // namespace tralux
