// The broadcast measures in the grid: a checkable item of the grid's menu shows the columns of
// each source's and result's LUFS, true peak and loudness range, and has the runs meter them.

#include <QAction>
#include <QMenu>

#include "main/TBalanceVolumes.h"
#include "main/WindowText.h"

namespace tralux {

void TBalanceVolumes::BuildBroadcastAction() {
    filegrid->DecimalSeparator = Qt8(decimalSeparator_);
    ShowBroadcast1 = PopupMenu1->addAction(QStringLiteral("Show LUFS, True Peak and LRA"));
    ShowBroadcast1->setObjectName(QStringLiteral("ShowBroadcast1"));
    ShowBroadcast1->setCheckable(true);
    connect(ShowBroadcast1, &QAction::toggled, this, &TBalanceVolumes::ShowBroadcast);
}

void TBalanceVolumes::ShowBroadcast(bool shown) {
    placement_.showbroadcast = shown;
    // Measured by the runs from now on: the sources' at their next scan, the results' at
    // their next write.
    ops_->MeasureBroadcast = shown;
    if (ShowBroadcast1->isChecked() != shown) {
        ShowBroadcast1->setChecked(shown);  // comes back here once, with nothing to change
    }
    filegrid->ShowBroadcastColumns(shown);
    filegrid->viewport()->update();
}

}  // namespace tralux
