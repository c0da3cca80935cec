#pragma once

#include <QDialog>

#include <vector>

#include "engine/FileData.h"
#include "settings/Options.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace tralux {

// "Track Grouping": joins listed files into numbered groups by editing their GroupNumber
// at once (a positive number is a group, -1 is set for a file taken out of its group).
//
// files are the grid's records in display order (null entries, the empty row, are skipped);
// they must outlive the dialog. options gives fnamesonly and truncends. The dialog takes its
// bounds from placement's grpleft, grptop, grpwidth and grpheight and writes its final bounds
// back there when it closes. Done is the only exit: exec() returns QDialog::Accepted when any
// edit was made ("changed") and QDialog::Rejected otherwise; Changed() says the same.
class TTrackGrouping : public QDialog {
    Q_OBJECT

public:
    TTrackGrouping(std::vector<FileData*> files, const Options& options, WindowPlacement& placement,
                   QWidget* parent = nullptr);

    bool Changed() const { return ChangeResult == QDialog::Accepted; }

    // Rebuilds both lists and the group drop-down; selections are cleared.
    void RefillLists();

    // Handlers.
    void groupbtnClick();
    void ungroupbtnClick();
    void groupsChange(int index);
    void filesClick();
    void groupedfilesClick();
    void donebtnClick();
    void FormResize();

    // Every way of closing returns the result Done would, and stores the bounds.
    void done(int result) override;
    void reject() override;

    QGroupBox* ungrouped_box;
    QListWidget* files;
    QPushButton* groupbtn;
    QGroupBox* grouped_box;
    QListWidget* groupedfiles;
    QPushButton* ungroupbtn;
    QLabel* movelabel;
    QComboBox* groups;
    QPushButton* donebtn;

    int ChangeResult = QDialog::Rejected;
    int32_t HighestGroup = 0;
    // The records behind the items of files and groupedfiles, index for index.
    std::vector<FileData*> UngroupedFiles;
    std::vector<FileData*> GroupedFilesList;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QString DisplayName(const FileData& file) const;
    // Room above a list for its frame's caption: 14 pixels at 96 dots per inch.
    int CaptionRoom() const;
    // Fits the texts of a filled list to its client width less 2 pixels.
    void FitItems(QListWidget* list) const;
    // Sets every selected file of a list to a group number; false when none was selected.
    bool SetSelectedGroups(QListWidget* list, const std::vector<FileData*>& records,
                           int32_t groupNumber);

    std::vector<FileData*> Files;
    bool ShowFilenamesOnly;
    bool ClipAtEnd;
    WindowPlacement& Placement;
};

}  // namespace tralux
