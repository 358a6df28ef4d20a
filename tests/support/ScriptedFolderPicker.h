#pragma once

#include "app/FolderPicker.h"

#include <optional>

namespace testsupport {

/** A folder chooser that replays the answer queued in advance; with none queued the user cancels. */
class ScriptedFolderPicker : public FolderPicker
{
public:
    void setNextFolder(const QString &folder) { m_next = Answer{true, folder}; }
    void setNextCancel() { m_next = Answer{}; }

    Answer pickFolder(QWidget *, const QString &, const QString &startFolder) override
    {
        m_lastStart = startFolder;
        const Answer answer = m_next.value_or(Answer{});
        m_next.reset();
        return answer;
    }

    /** The folder the chooser was last opened in. */
    QString lastStart() const { return m_lastStart; }

private:
    std::optional<Answer> m_next;
    QString m_lastStart;
};

} // namespace testsupport
