#include "app/FolderPicker.h"

#include <QFileDialog>

namespace {

class DialogFolderPicker : public FolderPicker
{
public:
    Answer pickFolder(QWidget *parent, const QString &title) override
    {
        // A dialog that lives only for this call; no starting folder, prompt
        // or filter beyond "folders only, one of them".
        QFileDialog dialog(parent, title);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        if (dialog.exec() != QDialog::Accepted)
            return {};
        return {true, dialog.selectedFiles().value(0)};
    }
};

FolderPicker *installedPicker = nullptr;

} // namespace

FolderPicker &FolderPicker::current()
{
    static DialogFolderPicker dialogPicker;
    return installedPicker ? *installedPicker : dialogPicker;
}

void FolderPicker::install(FolderPicker *picker)
{
    installedPicker = picker;
}

void ScriptedFolderPicker::setNextFolder(const QString &folder)
{
    m_next = Answer{true, folder};
}

void ScriptedFolderPicker::setNextAcceptedWithoutFolder()
{
    m_next = Answer{true, QString()};
}

void ScriptedFolderPicker::setNextCancel()
{
    m_next = Answer{false, QString()};
}

FolderPicker::Answer ScriptedFolderPicker::pickFolder(QWidget *, const QString &title)
{
    ++m_timesShown;
    m_lastTitle = title;
    // With nothing queued the scripted user cancels.
    const Answer answer = m_next.value_or(Answer{});
    m_next.reset();
    return answer;
}
