#include "app/FolderPicker.h"

#include <QFileDialog>

namespace {

class DialogFolderPicker : public FolderPicker
{
public:
    Answer pickFolder(QWidget *parent, const QString &title, const QString &startFolder) override
    {
        // A dialog that lives only for this call; no prompt or filter beyond
        // "folders only, one of them".
        QFileDialog dialog(parent, title, startFolder);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return {true, dialog.selectedFiles().value(0)};
    }
};

} // namespace

FolderPicker &FolderPicker::dialog()
{
    static DialogFolderPicker picker;
    return picker;
}
