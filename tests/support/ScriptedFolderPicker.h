#pragma once

#include "app/FolderPicker.h"

#include <optional>

namespace testsupport {

/** A folder chooser that replays the answer queued in advance; with none queued the user cancels. */
class ScriptedFolderPicker : public FolderPicker
{
public:
    void setNextFolder(const QString &folder) { m_next = Answer{true, folder}; }
    void setNextAcceptedWithoutFolder() { m_next = Answer{true, QString()}; }
    void setNextCancel() { m_next = Answer{}; }

    Answer pickFolder(QWidget *, const QString &title) override
    {
        ++m_timesShown;
        m_lastTitle = title;
        const Answer answer = m_next.value_or(Answer{});
        m_next.reset();
        return answer;
    }

    int timesShown() const { return m_timesShown; }
    QString lastTitle() const { return m_lastTitle; }

private:
    std::optional<Answer> m_next;
    int m_timesShown = 0;
    QString m_lastTitle;
};

} // namespace testsupport
