#include "app/StatusView.h"

#include <QAccessibleWidget>
#include <QIcon>
#include <QMimeData>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

// The longest block the document holds. The document lays out a whole
// block at once when any of it shows, so this bounds the work per block
// (a few milliseconds), however long a line of the text is.
constexpr qsizetype maxBlockLength = 8192;
// How much text goes into the document per turn of the event loop: a few
// milliseconds of work.
constexpr qsizetype sliceLength = 256 * 1024;

/**
 * Puts the part [start, end) of text into shown, one character for each,
 * with every character that would end a block of the document turned into
 * a line break inside the block: the blocks are ours to choose.
 */
void appendShown(QString &shown, const QString &text, qsizetype start, qsizetype end)
{
    const qsizetype from = shown.size();
    shown.append(QStringView(text).sliced(start, end - start));
    QChar *c = shown.data() + from;
    for (qsizetype i = start; i < end; ++i, ++c) {
        switch (c->unicode()) {
        case u'\r':
            // CR LF is one line break: the CR shows as a blank at the line's end.
            *c = i + 1 < text.size() && text.at(i + 1) == u'\n' ? QChar(u' ') : QChar(QChar::LineSeparator);
            break;
        case u'\n':
        case QChar::ParagraphSeparator:
            *c = QChar::LineSeparator;
            break;
        case 0xFDD0: // marks the document's frames
        case 0xFDD1:
            *c = QChar::ReplacementCharacter;
            break;
        default:
            break;
        }
    }
}

} // namespace

StatusView::StatusView(QWidget *parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Read like a label: no blinking caret when focus lands here, as it does
    // when the upload button it follows is disabled; the keyboard still selects.
    setCursorWidth(0);
    setFrameShape(QFrame::NoFrame);
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(0);
    document()->setUndoRedoEnabled(false);
    // Text on the window's background, like a label.
    viewport()->setAutoFillBackground(false);

    m_loader.setSingleShot(true);
    connect(&m_loader, &QTimer::timeout, this, [this] { appendBlocks(sliceLength); });
}

void StatusView::setText(const QString &text)
{
    m_text = text;
    m_blockStarts.clear();
    m_next = 0;
    clear();
    appendBlocks(sliceLength);
    moveCursor(QTextCursor::Start); // where reading starts, and where it stays while the rest comes in
}

void StatusView::appendBlocks(qsizetype budget)
{
    QString shown;
    while (m_next >= 0 && shown.size() < budget) {
        const qsizetype start = m_next;
        qsizetype end = std::min(m_text.size(), start + maxBlockLength);
        if (end < m_text.size()) {
            // End a full block where a line ends, or else after a space, so
            // that the break falls where the text could break anyway.
            const QStringView block = QStringView(m_text).sliced(start, end - start);
            qsizetype cut = block.lastIndexOf(u'\n');
            if (cut < 0)
                cut = block.lastIndexOf(u' ');
            if (cut >= 0)
                end = start + cut + 1;
            else if (m_text.at(end - 1).isHighSurrogate())
                --end;
        }
        // A line feed that ends the block is the break between blocks.
        const bool endsLine = end > start && m_text.at(end - 1) == u'\n';
        if (!m_blockStarts.isEmpty())
            shown.append(u'\n');
        m_blockStarts.append(start);
        appendShown(shown, m_text, start, endsLine ? end - 1 : end);
        m_next = end == m_text.size() && !endsLine ? -1 : end;
    }
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(shown);
    if (m_next >= 0)
        m_loader.start();
}

int StatusView::heightFor(int width, int maxHeight) const
{
    // A text still coming in is longer than a slice: far more than fits.
    if (m_next >= 0)
        return maxHeight;
    const QTextOption option = document()->defaultTextOption();
    const QFont font = document()->defaultFont();
    qreal height = 0;
    for (QTextBlock block = document()->begin(); block.isValid() && height < maxHeight; block = block.next()) {
        QTextLayout layout(block.text(), font);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid() && height < maxHeight; line = layout.createLine()) {
            // As the document lays out its lines.
            line.setLeadingIncluded(true);
            line.setLineWidth(width);
            height += line.height();
        }
        layout.endLayout();
    }
    // The view counts a line as shown when it ends above its last pixel row.
    return std::min(maxHeight, int(std::ceil(height)) + 1);
}

qsizetype StatusView::textPosition(int documentPosition) const
{
    const QTextBlock block = document()->findBlock(documentPosition);
    const qsizetype start = m_blockStarts.value(block.blockNumber(), m_text.size());
    return std::min(m_text.size(), start + (documentPosition - block.position()));
}

QMimeData *StatusView::createMimeDataFromSelection() const
{
    const QTextCursor cursor = textCursor();
    const qsizetype from = textPosition(cursor.selectionStart());
    // A selection to the end takes what is still to come as well.
    const bool toEnd = cursor.selectionEnd() == document()->characterCount() - 1;
    const qsizetype to = toEnd ? m_text.size() : textPosition(cursor.selectionEnd());
    auto *data = new QMimeData;
    data->setText(m_text.sliced(from, to - from));
    return data;
}

namespace {

// An announcement reads the start of a long text only.
constexpr qsizetype maxAnnouncedLength = 300;

class AccessibleStatusMark : public QAccessibleWidget
{
public:
    explicit AccessibleStatusMark(QWidget *mark)
        : QAccessibleWidget(mark, QAccessible::Notification)
    {
    }
};

QAccessibleInterface *accessibleStatusMark(const QString &className, QObject *object)
{
    if (className == QLatin1String("StatusMark") && object && object->isWidgetType())
        return new AccessibleStatusMark(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

StatusMark::StatusMark(QWidget *parent)
    : QLabel(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleStatusMark);
        return true;
    }();
    Q_UNUSED(installed)
    hide();
}

void StatusMark::mark(const QIcon &icon, int side, const QString &text)
{
    QString announced = text.left(maxAnnouncedLength);
    if (announced.size() < text.size())
        announced += QChar(0x2026); // …
    setPixmap(icon.pixmap(side, side));
    setFixedSize(side, side);
    if (!isHidden() && accessibleName() == announced)
        return; // the same ending in a new look: nothing new to say
    // Hidden first, so that showing it again is an event of its own.
    hide();
    setAccessibleName(announced);
    show();
}
